#include "serial/buffer_channel.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

namespace tevra {
namespace {

// Guard bytes catch a copy past the capacity; an empty channel changes nothing.
TEST(BufferChannel, GetCopiesDataAndZeroButNeverPastCapacity) {
  const struct {
    std::uint32_t length, capacity, copied;  // put, asked, given
  } cases[] = {{1023, 1024, 1024}, {2, 1024, 3}, {0, 1024, 1},
               {1023, 100, 100},   {10, 10, 10}, {10, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " into " << c.capacity);
    BufferChannel channel;
    std::vector<std::uint8_t> data(c.length);
    std::iota(data.begin(), data.end(), std::uint8_t{1});
    ASSERT_TRUE(channel.Put(data.data(), c.length));
    data.push_back(0);
    std::vector<std::uint8_t> out(c.capacity + 16, 0xEE);
    std::uint32_t size = c.capacity;
    ASSERT_TRUE(channel.Get(out.data(), size));
    ASSERT_EQ(size, c.copied);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + size, data.begin()));
    EXPECT_EQ(std::count(out.begin() + size, out.end(), 0xEE), out.end() - out.begin() - size);
    const std::vector<std::uint8_t> before = out;
    EXPECT_FALSE(channel.Get(out.data(), size));
    EXPECT_EQ(out, before);
  }
}

// Too long a record, or none, queues nothing; Reset drops pending records.
TEST(BufferChannel, PutRefusesOversizeAndResetEmpties) {
  BufferChannel channel;
  const std::vector<std::uint8_t> data(1024, 7);
  EXPECT_FALSE(channel.Put(data.data(), 1024));
  EXPECT_FALSE(channel.Put(nullptr, 5));
  EXPECT_EQ(channel.PendingCount(), 0U);
  ASSERT_TRUE(channel.Put(data.data(), 1023));
  channel.Reset();
  EXPECT_EQ(channel.PendingCount(), 0U);
}

// One producer and one consumer thread: every record arrives once, whole and
// in order (ThreadSanitizer checks the locking).
TEST(BufferChannel, ProducerAndConsumerThreadsLoseNothing) {
  BufferChannel channel;
  constexpr std::uint32_t kRecords = 5000;
  std::thread producer([&channel] {
    for (std::uint32_t i = 0; i < kRecords; ++i) {
      const std::array<std::uint32_t, 2> payload = {i, ~i};
      ASSERT_TRUE(channel.Put(payload.data(), sizeof payload));
    }
  });
  for (std::uint32_t expected = 0; expected < kRecords;) {
    std::array<std::uint32_t, 4> out{};
    std::uint32_t size = sizeof out;
    if (!channel.Get(out.data(), size)) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(size, 9U);
    ASSERT_EQ((std::array{out[0], out[1]}), (std::array{expected, ~expected}));
    ++expected;
  }
  producer.join();
}

}  // namespace
}  // namespace tevra
