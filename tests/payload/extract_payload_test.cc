#include "payload/extract_payload.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "platform/fd_io.h"
#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

using test::Bytes;
using test::Concat;
using test::RandomBytes;

Bytes Trailer(std::uint32_t length, std::uint32_t magic = PAYLOAD_MAGIC) {
  Bytes t;
  for (const std::uint32_t v : {length, magic}) {
    for (int i = 0; i < 4; ++i) {
      t.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
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

TEST_F(ExtractPayloadTest, CopiesEveryLengthExactlyIncludingShortLastPieces) {
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 0}, {17, 15}, {1, 129}, {100003, 0}};
  for (const auto& [imageSize, payloadSize] : cases) {
    SCOPED_TRACE(std::to_string(imageSize) + " + " + std::to_string(payloadSize));
    const Bytes image = RandomBytes(imageSize, 1);
    const Bytes payload = RandomBytes(payloadSize, 2);
    PlantStaleOutputs();
    ASSERT_TRUE(Extract(dir_.Write("updater", Bundled(image, payload))));
    EXPECT_EQ(dir_.Read(image_), image);
    EXPECT_EQ(dir_.Read(payload_), payload);
  }
}

TEST_F(ExtractPayloadTest, BadOrUnreadableSourceLeavesBothOutputsCreatedAndEmpty) {
  const Bytes body = RandomBytes(64, 3);
  ASSERT_EQ(::mkdir(dir_.Path("folder").c_str(), 0700), 0);
  const std::vector<std::pair<std::string, int>> cases = {
      {dir_.Write("empty", {}), EINVAL},
      {dir_.Write("seven", {0x00, 0x00, 0x00, 0x55, 0x81, 0x18, 0x55}), EINVAL},
      {dir_.Write("magic off by a bit", Concat(body, Trailer(8, PAYLOAD_MAGIC ^ 1U))), EINVAL},
      {dir_.Write("L = size - 7", Concat(body, Trailer(65))), EINVAL},
      {dir_.Write("L max", Concat(body, Trailer(0xFFFFFFFFU))), EINVAL},
      {dir_.Path("missing"), ENOENT},
      {dir_.Path("folder"), EISDIR},
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

// Image first: trouble there leaves the payload output untouched.
TEST_F(ExtractPayloadTest, LinkOrUnusableDirectoryAtAnOutputIsRefused) {
  const std::string source = dir_.Write("updater", Bundled(RandomBytes(20, 6), {1, 2, 3}));
  const Bytes precious = RandomBytes(50, 5);
  const std::string target = dir_.Path("target");
  struct Case {
    bool atImage;
    bool dangling;
    std::string image, payload;
    int error;
  };
  const std::vector<Case> cases = {
      {true, false, image_, payload_, ELOOP},
      {false, false, image_, payload_, ELOOP},
      {false, true, image_, payload_, ELOOP},
      {false, false, image_, dir_.Path("missing/serial1.bin"), ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image + " " + c.payload + (c.dangling ? " dangling" : ""));
    PlantStaleOutputs();
    (void)::unlink(target.c_str());
    if (!c.dangling) {
      dir_.Write(target, precious);
    }
    if (c.error == ELOOP) {
      const std::string& linked = c.atImage ? image_ : payload_;
      ASSERT_EQ(::unlink(linked.c_str()), 0);
      ASSERT_EQ(::symlink(target.c_str(), linked.c_str()), 0);
    }
    EXPECT_FALSE(ExtractPayload(source.c_str(), c.image.c_str(), c.payload.c_str()));
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(::access(target.c_str(), F_OK) == 0 ? dir_.Read(target) : Bytes{},
              c.dangling ? Bytes{} : precious);
    if (c.atImage) {
      EXPECT_EQ(dir_.Read(payload_), Bytes(100, 0xBB));
    } else {
      EXPECT_TRUE(dir_.Read(image_).empty());
    }
    (void)::unlink((c.atImage ? image_ : payload_).c_str());
  }
}

// A link swapped in at the payload path after the extraction must not change what is read.
TEST_F(ExtractPayloadTest, OutputsAreFreshPrivateFilesAndThePayloadIsReadAsWritten) {
  const Bytes payload = RandomBytes(300, 7);
  const std::string source = dir_.Write("updater", Bundled({9}, payload));
  ASSERT_EQ(::mkfifo(payload_.c_str(), 0600), 0);
  {
    const UniqueFd reader(::open(payload_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const ExtractedPayload refused =
        ExtractPayloadForSending(source.c_str(), image_.c_str(), payload_.c_str());
    EXPECT_EQ(errno, EINVAL);
    EXPECT_NE(refused.problem.find(payload_ + ": is not a regular file"), std::string::npos);
  }
  ASSERT_EQ(::unlink(payload_.c_str()), 0);
  const Bytes precious = RandomBytes(50, 5);
  const std::string victim = dir_.Write("precious", precious);
  ASSERT_EQ(::link(victim.c_str(), payload_.c_str()), 0);
  const mode_t oldMask = ::umask(0);
  const ExtractedPayload extracted =
      ExtractPayloadForSending(source.c_str(), image_.c_str(), payload_.c_str());
  ::umask(oldMask);
  ASSERT_TRUE(extracted.ok()) << extracted.problem;
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

TEST_F(ExtractPayloadTest, WriteErrorDuringCopyFailsAndLeavesNoPartialOutput) {
  const std::string source =
      dir_.Write("updater", Bundled(RandomBytes(1000, 10), RandomBytes(16384, 11)));
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

}  // namespace
}  // namespace tevra
