#include "serial/buffer_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

namespace tevra {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t len) {
  std::vector<std::uint8_t> v(len);
  std::iota(v.begin(), v.end(), std::uint8_t{1});
  return v;
}

TEST(BufferChannel, PoolGrowsPastHundredAndNeverShrinks) {
  BufferChannel channel;
  const std::uint8_t byte = 7;
  for (int i = 0; i < 101; ++i) {
    ASSERT_TRUE(channel.Put(&byte, 1));
  }
  EXPECT_EQ(channel.PendingCount(), 101U);
  EXPECT_EQ(channel.FreeCount(), 0U);

  std::array<std::uint8_t, 4> out{};
  for (int i = 0; i < 101; ++i) {
    std::uint32_t size = out.size();
    ASSERT_TRUE(channel.Get(out.data(), size));
  }
  EXPECT_EQ(channel.FreeCount(), 101U);

  // Steady traffic reuses the grown pool and allocates nothing more.
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(channel.Put(&byte, 1));
    std::uint32_t size = out.size();
    ASSERT_TRUE(channel.Get(out.data(), size));
  }
  // Reset gives records still pending back to the pool.
  ASSERT_TRUE(channel.Put(&byte, 1));
  ASSERT_TRUE(channel.Put(&byte, 1));
  channel.Reset();
  EXPECT_EQ(channel.PendingCount(), 0U);
  EXPECT_EQ(channel.FreeCount(), 101U);
}

TEST(BufferChannel, GetOnEmptyChannelLeavesCallerBufferAndSizeUntouched) {
  BufferChannel channel;
  std::array<std::uint8_t, 8> out{};
  out.fill(0xAA);
  std::uint32_t size = 8;
  EXPECT_FALSE(channel.Get(out.data(), size));
  EXPECT_EQ(size, 8U);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0xAA; }));
}

// Guard bytes after the capacity catch a copy that overruns the caller.
struct GetCase {
  std::uint32_t length;    // record length put
  std::uint32_t capacity;  // capacity passed to Get
  std::uint32_t copied;    // expected size afterwards
};

class BufferChannelGet : public ::testing::TestWithParam<GetCase> {};

TEST_P(BufferChannelGet, CopiesDataAndZeroButNeverPastCapacity) {
  const GetCase c = GetParam();
  BufferChannel channel;
  const std::vector<std::uint8_t> data = Pattern(c.length);
  ASSERT_TRUE(channel.Put(data.data(), c.length));

  constexpr std::size_t kGuard = 16;
  std::vector<std::uint8_t> out(c.capacity + kGuard, 0xEE);
  std::uint32_t size = c.capacity;
  ASSERT_TRUE(channel.Get(out.data(), size));
  EXPECT_EQ(size, c.copied);
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::uint8_t expected = i < c.length ? data[i] : 0;
    ASSERT_EQ(out[i], expected) << "byte " << i;
  }
  for (std::size_t i = size; i < out.size(); ++i) {
    ASSERT_EQ(out[i], 0xEE) << "written past the copy at " << i;
  }
  EXPECT_EQ(channel.PendingCount(), 0U);
  EXPECT_EQ(channel.FreeCount(), 100U);
}

INSTANTIATE_TEST_SUITE_P(Capacities, BufferChannelGet,
                         ::testing::Values(GetCase{1023, 1024, 1024},  // full record and its zero
                                           GetCase{2, 1024, 3},        // short record and its zero
                                           GetCase{0, 1024, 1},        // empty record: the zero
                                           GetCase{1023, 100, 100},    // capacity cuts the copy
                                           GetCase{10, 10, 10},        // zero byte does not fit
                                           GetCase{10, 0, 0}));        // nothing fits

TEST(BufferChannel, PutRefusesMoreThanARecordHoldsAndQueuesNothing) {
  BufferChannel channel;
  const std::vector<std::uint8_t> data = Pattern(1024);
  EXPECT_FALSE(channel.Put(data.data(), 1024));
  EXPECT_FALSE(channel.Put(nullptr, 5));
  EXPECT_EQ(channel.PendingCount(), 0U);
  EXPECT_EQ(channel.FreeCount(), 100U);
  EXPECT_TRUE(channel.Put(data.data(), 1023));
}

// One producer and one consumer hammer a channel: every record arrives once,
// whole and in order (ThreadSanitizer checks the locking).
TEST(BufferChannel, ProducerAndConsumerThreadsLoseNothing) {
  BufferChannel channel;
  constexpr std::uint32_t kRecords = 5000;
  std::thread producer([&channel] {
    for (std::uint32_t i = 0; i < kRecords; ++i) {
      const std::array<std::uint32_t, 2> payload = {i, ~i};
      ASSERT_TRUE(channel.Put(payload.data(), sizeof payload));
    }
  });
  std::uint32_t expected = 0;
  while (expected < kRecords) {
    std::array<std::uint32_t, 4> out{};
    std::uint32_t size = sizeof out;
    if (!channel.Get(out.data(), size)) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(size, 9U);
    ASSERT_EQ(out[0], expected);
    ASSERT_EQ(out[1], ~expected);
    ++expected;
  }
  producer.join();
  EXPECT_EQ(channel.PendingCount(), 0U);
}

}  // namespace
}  // namespace tevra
