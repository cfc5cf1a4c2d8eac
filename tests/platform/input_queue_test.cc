#include "platform/input_queue.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/comm_bits.h"

namespace tevra {
namespace {

// Bytes cross the end of the ring in order; a full ring keeps what it has.
TEST(InputQueueTest, KeepsOrderAcrossTheWrapAndTheFirstBytesWhenFull) {
  InputQueue queue;
  queue.Reset(4);
  const std::vector<std::uint8_t> in = {1, 2, 3, 4, 5, 6};
  std::vector<std::uint8_t> out(6);
  ASSERT_EQ(queue.Put(in.data(), 3), 3U);
  ASSERT_EQ(queue.Take(out.data(), 2), 2U);
  EXPECT_EQ(queue.Put(in.data() + 3, 3), 3U);
  EXPECT_EQ(queue.ClearErrors(nullptr), 0U);
  EXPECT_EQ(queue.Put(in.data(), 2), 0U);
  std::size_t waiting = 0;
  EXPECT_EQ(queue.ClearErrors(&waiting), CE_RXOVER);
  EXPECT_EQ(waiting, 4U);
  EXPECT_EQ(queue.ClearErrors(nullptr), 0U) << "raised once, not kept";
  EXPECT_EQ(queue.Take(out.data(), 6), 4U);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{3, 4, 5, 6, 0, 0}));
}

}  // namespace
}  // namespace tevra
