#include "payload/payload_layout.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/unique_fd.h"
#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;

TEST(PayloadLayoutTest, SizesBeyond4GiBDoNotWrap) {
  const TrailerBytes maxL = EncodeTrailer(0xFFFFFFFFu);
  struct Case {
    std::uint64_t fileBytes;
    TrailerStatus status;
    std::uint64_t imageBytes;
  };
  const Case cases[] = {
      // Exactly room for the largest payload: empty image.
      {k4GiB + 7, TrailerStatus::kValid, 0},
      {5 * k4GiB, TrailerStatus::kValid, 5 * k4GiB - 8 - 0xFFFFFFFFu},
      // One byte short of room; a 32-bit size would wrap to 6 and say "too short".
      {k4GiB + 6, TrailerStatus::kLengthTooLarge, 0},
      // A 32-bit size would wrap to 3 and call this too short.
      {k4GiB + 3, TrailerStatus::kLengthTooLarge, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fileBytes);
    const PayloadLayout layout = DecodeTrailer(maxL, c.fileBytes);
    EXPECT_EQ(layout.status, c.status);
    EXPECT_EQ(layout.imageBytes, c.imageBytes);
    EXPECT_EQ(layout.payloadBytes, 0xFFFFFFFFu);
  }
}

TEST(PayloadLayoutTest, FileEndingBeforeItsClaimedSizeIsAReadError) {
  test::TempDir dir;
  const std::string path = dir.Write("short", test::RandomBytes(20, 1));
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  errno = 0;
  EXPECT_EQ(ReadPayloadLayout(fd.get(), 100).status, TrailerStatus::kReadError);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(ReadPayloadLayout(-1, 100).status, TrailerStatus::kReadError);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace tevra
