#include "payload/extract_payload.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/fd_io.h"
#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

using test::Bytes;
using test::Concat;
using test::RandomBytes;

Bytes Trailer(std::uint32_t length, std::uint32_t magic) {
  Bytes t;
  for (const std::uint32_t v : {length, magic}) {
    for (int i = 0; i < 4; ++i) {
      t.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
  }
  return t;
}

Bytes Bundled(const Bytes& image, const Bytes& payload) {
  return Concat(Concat(image, payload),
                Trailer(static_cast<std::uint32_t>(payload.size()), PAYLOAD_MAGIC));
}

class ExtractPayloadTest : public ::testing::Test {
 protected:
  bool Extract(const std::string& source) {
    return ExtractPayload(source.c_str(), image_.c_str(), payload_.c_str());
  }
  // Old contents at both outputs, so a test can tell "truncated" from
  // "never touched".
  void PlantStaleOutputs() {
    dir_.Write(image_, Bytes(100, 0xAA));
    dir_.Write(payload_, Bytes(100, 0xBB));
  }
  void ExpectBothOutputsEmpty() {
    EXPECT_TRUE(dir_.Read(image_).empty());
    EXPECT_TRUE(dir_.Read(payload_).empty());
  }

  test::TempDir dir_;
  std::string image_ = dir_.Path("serial1.exe");
  std::string payload_ = dir_.Path("serial1.bin");
};

TEST_F(ExtractPayloadTest, CopiesEveryLengthExactlyIncludingShortLastPieces) {
  struct Case {
    std::size_t image;
    std::size_t payload;
  };
  // The 57352-byte updater with its 16384-byte payload; around the 16-byte
  // piece size on both sides, L = 0 and L = size - 8.
  const std::vector<Case> cases = {{40960, 16384}, {0, 0},   {0, 1},   {1, 0},      {16, 0},
                                   {0, 16},        {15, 17}, {17, 15}, {16, 16},    {31, 33},
                                   {33, 31},       {1, 129}, {200, 1}, {0, 100000}, {100003, 0}};
  std::uint32_t seed = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE("image " + std::to_string(c.image) + " payload " + std::to_string(c.payload));
    const Bytes image = RandomBytes(c.image, ++seed);
    const Bytes payload = RandomBytes(c.payload, ++seed);
    PlantStaleOutputs();
    ASSERT_TRUE(Extract(dir_.Write("updater", Bundled(image, payload))));
    EXPECT_EQ(dir_.Read(image_), image);
    EXPECT_EQ(dir_.Read(payload_), payload);
  }
}

TEST_F(ExtractPayloadTest, SourceWithoutValidTrailerLeavesBothOutputsCreatedAndEmpty) {
  const Bytes body = RandomBytes(64, 3);
  struct Case {
    const char* fault;
    Bytes source;
  };
  const std::vector<Case> cases = {
      {"empty source", {}},
      {"one byte", {0x55}},
      {"seven bytes that end like the magic", {0x00, 0x00, 0x00, 0x55, 0x81, 0x18, 0x55}},
      {"magic off by one bit", Concat(body, Trailer(8, PAYLOAD_MAGIC ^ 1u))},
      {"magic stored big-endian", Concat(body, Trailer(8, 0x55811855))},
      {"zero magic", Concat(body, Trailer(0, 0))},
      {"L one more than size - 8", Concat(body, Trailer(65, PAYLOAD_MAGIC))},
      {"L with the top bit set", Concat(body, Trailer(0x80000000u, PAYLOAD_MAGIC))},
      {"L at its maximum", Concat(body, Trailer(0xFFFFFFFFu, PAYLOAD_MAGIC))},
      {"trailer alone claiming a payload", Trailer(1, PAYLOAD_MAGIC)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    PlantStaleOutputs();
    errno = 0;
    EXPECT_FALSE(Extract(dir_.Write("updater", c.source)));
    EXPECT_EQ(errno, EINVAL);
    ExpectBothOutputsEmpty();
  }
}

TEST_F(ExtractPayloadTest, UnopenableOrUnreadableSourceFailsAfterTruncatingOutputs) {
  const std::string file = dir_.Write("plain", RandomBytes(32, 4));
  ASSERT_EQ(::mkdir(dir_.Path("folder").c_str(), 0700), 0);
  struct Case {
    std::string source;
    int err;
  };
  const std::vector<Case> cases = {{dir_.Path("missing"), ENOENT},
                                   {dir_.Path("folder"), EISDIR},
                                   {file + "/below-a-file", ENOTDIR}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    PlantStaleOutputs();
    errno = 0;
    EXPECT_FALSE(Extract(c.source));
    EXPECT_EQ(errno, c.err);
    ExpectBothOutputsEmpty();
  }
}

// The image output is opened first: a link there leaves the payload output
// untouched, a link at the payload path leaves the image created and empty.
TEST_F(ExtractPayloadTest, LinkAtAnOutputPathIsRefusedAndItsTargetUntouched) {
  const Bytes precious = RandomBytes(50, 5);
  const std::string source = dir_.Write("updater", Bundled(RandomBytes(20, 6), {1, 2, 3}));
  for (const bool atImage : {true, false}) {
    SCOPED_TRACE(atImage ? "link at the image path" : "link at the payload path");
    PlantStaleOutputs();
    const std::string& linked = atImage ? image_ : payload_;
    const std::string target = dir_.Write("precious", precious);
    ASSERT_EQ(::unlink(linked.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), linked.c_str()), 0);

    errno = 0;
    EXPECT_FALSE(Extract(source));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(dir_.Read(target), precious);
    if (atImage) {
      EXPECT_EQ(dir_.Read(payload_), Bytes(100, 0xBB));
    } else {
      EXPECT_TRUE(dir_.Read(image_).empty());
    }
    ASSERT_EQ(::unlink(linked.c_str()), 0);
  }
}

TEST_F(ExtractPayloadTest, DanglingLinkAtOutputPathCreatesNothingThroughIt) {
  const std::string target = dir_.Path("would-be-created");
  ASSERT_EQ(::symlink(target.c_str(), payload_.c_str()), 0);
  const std::string source = dir_.Write("updater", Bundled({9}, {1, 2, 3}));

  EXPECT_FALSE(Extract(source));
  EXPECT_FALSE(dir_.Exists(target));
}

// A FIFO with a reader would take the bytes (or block the window once
// full); a hard link would pass them to another file; a link swapped in at
// the payload path after the extraction must not change what is read.
TEST_F(ExtractPayloadTest, OutputsAreFreshRegularFilesAndThePayloadIsReadAsWritten) {
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
  const ExtractedPayload extracted =
      ExtractPayloadForSending(source.c_str(), image_.c_str(), payload_.c_str());
  ASSERT_TRUE(extracted.ok()) << extracted.problem;
  EXPECT_EQ(dir_.Read(victim), precious);

  ASSERT_EQ(::unlink(payload_.c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), payload_.c_str()), 0);
  Bytes sent(payload.size());
  ASSERT_TRUE(ReadExactly(extracted.payload.get(), sent.data(), sent.size()));
  EXPECT_EQ(sent, payload);
}

TEST_F(ExtractPayloadTest, OutputInUnusableDirectoryFails) {
  const std::string file = dir_.Write("plain", {1});
  const std::string source = dir_.Write("updater", Bundled(RandomBytes(40, 9), {1, 2, 3}));

  // Image output below a regular file: nothing else is touched.
  dir_.Write(payload_, Bytes(10, 0xBB));
  errno = 0;
  EXPECT_FALSE(ExtractPayload(source.c_str(), (file + "/serial1.exe").c_str(), payload_.c_str()));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(dir_.Read(payload_), Bytes(10, 0xBB));

  // Payload output in a missing directory: the image output is already
  // created and stays empty.
  dir_.Write(image_, Bytes(10, 0xAA));
  errno = 0;
  EXPECT_FALSE(
      ExtractPayload(source.c_str(), image_.c_str(), dir_.Path("missing/serial1.bin").c_str()));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(dir_.Read(image_).empty());
}

TEST_F(ExtractPayloadTest, WriteErrorDuringCopyFailsAndLeavesNoPartialOutput) {
  const std::string source =
      dir_.Write("updater", Bundled(RandomBytes(1000, 10), RandomBytes(16384, 11)));
  // The image copies fine; the payload grows past the file size limit.
  ASSERT_NE(std::signal(SIGXFSZ, SIG_IGN), SIG_ERR);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const rlimit limited{4096, old.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  errno = 0;
  EXPECT_FALSE(Extract(source));
  EXPECT_EQ(errno, EFBIG);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  ExpectBothOutputsEmpty();
}

TEST_F(ExtractPayloadTest, OutputsAreCreatedPrivate) {
  const mode_t old = ::umask(0);
  const bool ok = Extract(dir_.Write("updater", Bundled({1, 2}, {3, 4})));
  ::umask(old);
  ASSERT_TRUE(ok);
  for (const std::string& out : {image_, payload_}) {
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << out;
  }
}

}  // namespace
}  // namespace tevra
