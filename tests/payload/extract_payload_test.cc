#include "payload/extract_payload.h"

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

#include "platform/fd_io.h"
#include "tests/support/elf_program.h"
#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

using test::Bytes;
using test::Concat;
using test::ElfProgram;
using test::RandomBytes;

// Written out by hand: the length, then the magic, both little-endian.
Bytes Trailer(std::uint32_t length, std::uint32_t magic = PAYLOAD_MAGIC) {
  Bytes t(kTrailerSize);
  for (std::size_t i = 0; i < 4; ++i) {
    t[i] = static_cast<std::uint8_t>(length >> (8 * i));
    t[4 + i] = static_cast<std::uint8_t>(magic >> (8 * i));
  }
  return t;
}

Bytes Bundled(const Bytes& image, const Bytes& payload) {
  return Concat(Concat(image, payload), Trailer(static_cast<std::uint32_t>(payload.size())));
}

class ExtractPayloadTest : public ::testing::Test {
 protected:
  bool Extract(const std::string& source) {
    return ExtractPayload(source.c_str(), image_.c_str(), payload_.c_str());
  }
  void PlantStaleOutputs() {
    dir_.Write(image_, Bytes(100, 0xAA));
    dir_.Write(payload_, Bytes(100, 0xBB));
  }

  test::TempDir dir_;
  std::string image_ = dir_.Path("serial1.exe");
  std::string payload_ = dir_.Path("serial1.bin");
};

// Old outputs hard-linked to another file are replaced, never written
// through; a link swapped in at the payload path afterwards changes nothing
// that is read.
TEST_F(ExtractPayloadTest, CopiesEveryLengthExactlyIntoFreshPrivateFiles) {
  const Bytes precious = RandomBytes(50, 5);
  const std::string victim = dir_.Write("precious", precious);
  const std::pair<std::size_t, std::size_t> cases[] = {
      {512, 1}, {4096, 129}, {600, (std::size_t{1} << 20) + 3}};
  const mode_t oldMask = ::umask(0);
  for (const auto& [imageSize, payloadSize] : cases) {
    SCOPED_TRACE(std::to_string(imageSize) + " + " + std::to_string(payloadSize));
    const Bytes image = ElfProgram(imageSize, 1);
    const Bytes payload = RandomBytes(payloadSize, 2);
    for (const std::string& out : {image_, payload_}) {
      (void)::unlink(out.c_str());
      ASSERT_EQ(::link(victim.c_str(), out.c_str()), 0);
    }
    const std::string source = dir_.Write("updater", Bundled(image, payload));
    const ExtractedPayload extracted =
        ExtractPayloadForSending(source.c_str(), image_.c_str(), payload_.c_str());
    ASSERT_TRUE(extracted.ok()) << extracted.problem;
    EXPECT_EQ(dir_.Read(image_), image);
    EXPECT_EQ(dir_.Read(payload_), payload);
    EXPECT_EQ(dir_.Read(victim), precious);
    for (const std::string& out : {image_, payload_}) {
      struct stat st {};
      ASSERT_EQ(::stat(out.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0600U) << out;
    }
    ASSERT_EQ(::unlink(payload_.c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), payload_.c_str()), 0);
    Bytes sent(payload.size());
    ASSERT_TRUE(ReadExactly(extracted.payload.get(), sent.data(), sent.size()));
    EXPECT_EQ(sent, payload);
  }
  ::umask(oldMask);
}

// A FIFO as the source would block a plain open for good.
TEST_F(ExtractPayloadTest, BadOrUnreadableSourceLeavesBothOutputsCreatedAndEmpty) {
  const Bytes body = ElfProgram(512, 3);
  ASSERT_EQ(::mkdir(dir_.Path("folder").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo(dir_.Path("fifo").c_str(), 0600), 0);
  const std::vector<std::pair<std::string, int>> cases = {
      {dir_.Write("seven", {0x00, 0x00, 0x00, 0x55, 0x81, 0x18, 0x55}), EINVAL},
      {dir_.Write("magic off by a bit", Concat(body, Trailer(8, PAYLOAD_MAGIC ^ 1U))), EINVAL},
      {dir_.Write("L = size - 7", Concat(body, Trailer(513))), EINVAL},
      {dir_.Write("L max", Concat(body, Trailer(0xFFFFFFFFU))), EINVAL},
      {dir_.Path("missing"), ENOENT},
      {dir_.Path("folder"), EISDIR},
      {dir_.Path("fifo"), EINVAL},
  };
  for (const auto& [source, error] : cases) {
    SCOPED_TRACE(source);
    PlantStaleOutputs();
    EXPECT_FALSE(Extract(source));
    EXPECT_EQ(errno, error);
    EXPECT_TRUE(dir_.Read(image_).empty());
    EXPECT_TRUE(dir_.Read(payload_).empty());
  }
}

// The FIFO has a reader, so an open for writing would succeed on it.
TEST_F(ExtractPayloadTest, WhatIsNoRegularFileAtAnOutputIsRefusedAndLeftAlone) {
  const std::string source = dir_.Write("updater", Bundled(ElfProgram(512, 6), {1, 2, 3}));
  const Bytes precious = RandomBytes(50, 5);
  const std::string target = dir_.Path("target");
  enum Kind { kLink, kDanglingLink, kFifo, kDirectory };
  const std::vector<std::tuple<std::string, Kind, int>> cases = {
      {image_, kLink, ELOOP},    {payload_, kLink, ELOOP},     {payload_, kDanglingLink, ELOOP},
      {payload_, kFifo, EINVAL}, {image_, kDirectory, EISDIR},
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
      ASSERT_EQ(
          kind == kDirectory ? ::mkdir(at.c_str(), 0700) : ::symlink(target.c_str(), at.c_str()),
          0);
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

TEST_F(ExtractPayloadTest, WriteErrorDuringCopyFailsAndLeavesNoPartialOutput) {
  const std::string source =
      dir_.Write("updater", Bundled(ElfProgram(1000, 10), RandomBytes(16384, 11)));
  ASSERT_NE(std::signal(SIGXFSZ, SIG_IGN), SIG_ERR);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const rlimit limited{4096, old.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  errno = 0;
  EXPECT_FALSE(Extract(source));
  EXPECT_EQ(errno, EFBIG);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_TRUE(dir_.Read(image_).empty());
  EXPECT_TRUE(dir_.Read(payload_).empty());
}

// Sizes are 64-bit: 32-bit ones would wrap past 4 GiB.
TEST(PayloadLayoutTest, SizesBeyond4GiBDoNotWrap) {
  constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;
  const TrailerBytes maxL = EncodeTrailer(0xFFFFFFFFU);
  const PayloadLayout big = DecodeTrailer(maxL, 5 * k4GiB);
  EXPECT_EQ(big.status, PayloadStatus::kValid);
  EXPECT_EQ(big.imageBytes, 5 * k4GiB - 8 - 0xFFFFFFFFU);
  EXPECT_EQ(DecodeTrailer(maxL, k4GiB + 7).status, PayloadStatus::kValid);
  EXPECT_EQ(DecodeTrailer(maxL, k4GiB + 6).status, PayloadStatus::kLengthTooLarge);
}

}  // namespace
}  // namespace tevra
