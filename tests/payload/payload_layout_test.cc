#include "payload/payload_layout.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/unique_fd.h"
#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;

TEST(PayloadLayoutTest, SizesBeyond4GiBDoNotWrap) {
  const TrailerBytes maxL = EncodeTrailer(0xFFFFFFFFu);
  // fileBytes -> imageBytes; 32-bit sizes would wrap.
  const std::pair<std::uint64_t, std::uint64_t> valid[] = {
      {k4GiB + 7, 0}, {5 * k4GiB, 5 * k4GiB - 8 - 0xFFFFFFFFu}};
  for (const auto& [fileBytes, imageBytes] : valid) {
    const PayloadLayout layout = DecodeTrailer(maxL, fileBytes);
    EXPECT_EQ(layout.status, TrailerStatus::kValid) << fileBytes;
    EXPECT_EQ(layout.imageBytes, imageBytes);
    EXPECT_EQ(layout.payloadBytes, 0xFFFFFFFFu);
  }
  for (const std::uint64_t fileBytes : {k4GiB + 6, k4GiB + 3}) {
    EXPECT_EQ(DecodeTrailer(maxL, fileBytes).status, TrailerStatus::kLengthTooLarge) << fileBytes;
  }
}

TEST(PayloadLayoutTest, FileEndingBeforeItsClaimedSizeIsAReadError) {
  test::TempDir dir;
  const std::string path = dir.Write("short", test::RandomBytes(20, 1));
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  EXPECT_EQ(ReadPayloadLayout(fd.get(), 100).status, TrailerStatus::kReadError);
  EXPECT_EQ(errno, EIO);
}

}  // namespace
}  // namespace tevra
