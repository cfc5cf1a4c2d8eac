// What only a POSIX file system has: hard and symbolic links, FIFOs, modes,
// a file size limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "payload/extract_payload.h"
#include "platform/unique_fd.h"
#include "tests/support/elf_program.h"
#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

using test::Bytes;
using test::Concat;
using test::ElfProgram;
using test::RandomBytes;

Bytes Bundled(const Bytes& image, const Bytes& payload) {
  const TrailerBytes t = EncodeTrailer(static_cast<std::uint32_t>(payload.size()));
  return Concat(Concat(image, payload), Bytes(t.begin(), t.end()));
}

class ExtractPayloadPosixTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  std::string image_ = dir_.Path("serial1.exe");
  std::string payload_ = dir_.Path("serial1.bin");
};

// Old outputs hard-linked to another file are replaced, never written
// through; a link swapped in at the payload path afterwards changes nothing
// that is read.
TEST_F(ExtractPayloadPosixTest, FreshPrivateFilesNeverWrittenThroughALink) {
  const Bytes precious = RandomBytes(50, 5);
  const std::string victim = dir_.Write("precious", precious);
  const Bytes image = ElfProgram(4096, 1);
  const Bytes payload = RandomBytes(129, 2);
  const mode_t oldMask = ::umask(0);
  for (const std::string& out : {image_, payload_}) {
    ASSERT_EQ(::link(victim.c_str(), out.c_str()), 0);
  }
  const std::string source = dir_.Write("updater", Bundled(image, payload));
  const ExtractedPayload extracted =
      ExtractPayloadForSending(source.c_str(), image_.c_str(), payload_.c_str());
  ::umask(oldMask);
  ASSERT_TRUE(extracted.ok()) << extracted.problem;
  EXPECT_EQ(dir_.Read(image_), image);
  EXPECT_EQ(dir_.Read(victim), precious);
  for (const std::string& out : {image_, payload_}) {
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U) << out;
  }
  ASSERT_EQ(::unlink(payload_.c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), payload_.c_str()), 0);
  Bytes sent(payload.size());
  ASSERT_TRUE(ReadExactlyAt(extracted.payload, 0, sent.data(), sent.size()));
  EXPECT_EQ(sent, payload);
}

// A FIFO as the source would block a plain open for good.
TEST_F(ExtractPayloadPosixTest, AFifoAsTheSourceIsRefusedWithoutBlocking) {
  ASSERT_EQ(::mkfifo(dir_.Path("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ExtractPayload(dir_.Path("fifo").c_str(), image_.c_str(), payload_.c_str()));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(dir_.Read(image_).empty());
  EXPECT_TRUE(dir_.Read(payload_).empty());
}

// The FIFO has a reader, so an open for writing would succeed on it.
TEST_F(ExtractPayloadPosixTest, WhatIsNoRegularFileAtAnOutputIsRefusedAndLeftAlone) {
  const std::string source = dir_.Write("updater", Bundled(ElfProgram(512, 6), {1, 2, 3}));
  const Bytes precious = RandomBytes(50, 5);
  const std::string target = dir_.Path("target");
  enum Kind { kLink, kDanglingLink, kFifo };
  const std::vector<std::tuple<std::string, Kind, int>> cases = {
      {image_, kLink, ELOOP},
      {payload_, kLink, ELOOP},
      {payload_, kDanglingLink, ELOOP},
      {payload_, kFifo, EINVAL},
  };
  for (const auto& [at, kind, error] : cases) {
    SCOPED_TRACE(at + " " + std::to_string(kind));
    for (const std::string& path : {image_, payload_, target}) {
      std::filesystem::remove_all(path);
    }
    if (kind != kDanglingLink) {
      dir_.Write(target, precious);
    }
    UniqueFd reader;
    if (kind == kFifo) {
      ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0);
      reader = UniqueFd(::open(at.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    } else {
      ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0);
    }
    const ExtractedPayload refused =
        ExtractPayloadForSending(source.c_str(), image_.c_str(), payload_.c_str());
    EXPECT_EQ(errno, error);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.problem.rfind(at + ": ", 0), 0U) << refused.problem;
    EXPECT_EQ(std::filesystem::exists(target) ? dir_.Read(target) : Bytes{},
              kind == kDanglingLink ? Bytes{} : precious);
  }
}

TEST_F(ExtractPayloadPosixTest, WriteErrorDuringCopyFailsAndLeavesNoPartialOutput) {
  const std::string source =
      dir_.Write("updater", Bundled(ElfProgram(1000, 10), RandomBytes(16384, 11)));
  ASSERT_NE(std::signal(SIGXFSZ, SIG_IGN), SIG_ERR);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const rlimit limited{4096, old.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  errno = 0;
  EXPECT_FALSE(ExtractPayload(source.c_str(), image_.c_str(), payload_.c_str()));
  EXPECT_EQ(errno, EFBIG);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_TRUE(dir_.Read(image_).empty());
  EXPECT_TRUE(dir_.Read(payload_).empty());
}

}  // namespace
}  // namespace tevra
