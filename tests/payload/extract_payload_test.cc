#include "payload/extract_payload.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/elf_program.h"
#include "tests/support/pe_program.h"
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
  static Bytes ReadAll(const File& file, std::size_t size) {
    Bytes bytes(size);
    EXPECT_TRUE(ReadExactlyAt(file, 0, bytes.data(), bytes.size()));
    return bytes;
  }

  test::TempDir dir_;
  std::string image_ = dir_.Path("serial1.exe");
  std::string payload_ = dir_.Path("serial1.bin");
};

// A PE signed after bundling carries its signature after the trailer: the
// image is the program as the signer left it, never the signature.
TEST_F(ExtractPayloadTest, CopiesEveryLengthExactlyOverStaleOutputs) {
  struct Case {
    Bytes image, payload;
    bool sign;
  };
  const std::vector<Case> cases = {
      {ElfProgram(512, 1), RandomBytes(1, 2), false},
      {ElfProgram(4096, 1), RandomBytes(129, 2), false},
      {ElfProgram(600, 1), RandomBytes((std::size_t{1} << 20) + 3, 2), false},
      {test::PeProgram(4099, 3), RandomBytes(301, 4), false},
      {test::PeProgram(4099, 3), RandomBytes(301, 4), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.image.size()) + " + " + std::to_string(c.payload.size()) +
                 (c.sign ? " signed" : ""));
    PlantStaleOutputs();
    const Bytes bundled = Bundled(c.image, c.payload);
    const Bytes file = c.sign ? test::SignedPe(bundled) : bundled;
    const std::string source = dir_.Write("updater", file);
    const ExtractedPayload extracted =
        ExtractPayloadForSending(source.c_str(), image_.c_str(), payload_.c_str());
    ASSERT_TRUE(extracted.ok()) << extracted.problem;
    EXPECT_EQ(dir_.Read(image_), Bytes(file.begin(), file.begin() + std::ssize(c.image)));
    EXPECT_EQ(dir_.Read(payload_), c.payload);
    EXPECT_EQ(ReadAll(extracted.payload, c.payload.size()), c.payload);
  }
}

TEST_F(ExtractPayloadTest, BadOrUnreadableSourceLeavesBothOutputsCreatedAndEmpty) {
  const Bytes body = ElfProgram(512, 3);
  std::filesystem::create_directory(dir_.Path("folder"));
  const std::vector<std::pair<std::string, int>> cases = {
      {dir_.Write("seven", {0x00, 0x00, 0x00, 0x55, 0x81, 0x18, 0x55}), EINVAL},
      {dir_.Write("magic off by a bit", Concat(body, Trailer(8, PAYLOAD_MAGIC ^ 1U))), EINVAL},
      {dir_.Write("L = size - 7", Concat(body, Trailer(513))), EINVAL},
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

TEST_F(ExtractPayloadTest, AFolderAtAnOutputIsRefusedAndLeftAlone) {
  const std::string source = dir_.Write("updater", Bundled(ElfProgram(512, 6), {1, 2, 3}));
  for (const std::string& at : {image_, payload_}) {
    SCOPED_TRACE(at);
    std::filesystem::remove_all(image_);
    std::filesystem::remove_all(payload_);
    std::filesystem::create_directory(at);
    dir_.Write(at + "/kept", {9});
    const ExtractedPayload refused =
        ExtractPayloadForSending(source.c_str(), image_.c_str(), payload_.c_str());
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.problem, at + ": is not a regular file; not replacing it");
    EXPECT_EQ(dir_.Read(at + "/kept"), Bytes{9});
  }
}

}  // namespace
}  // namespace tevra
