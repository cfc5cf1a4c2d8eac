// Write notifications, and closing a port whose line is stuck or gone.
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "serial/buffer_channel.h"
#include "serial/serial_port.h"
#include "tests/serial/serial_test_support.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;

Clock::duration ProcessCpuTime() {
  timespec ts{};
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts) != 0) {
    ADD_FAILURE() << "clock_gettime failed";
    return {};
  }
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

bool WaitReadable(int fd, milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(timeout.count())) == 1 && (p.revents & POLLIN) != 0;
}

using SerialTransfer = LinkedPortTest;

TEST_F(SerialTransfer, WriteCompletingAtOncePostsNothing) {
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  ASSERT_TRUE(port_.Send("\xE0\x22\x00\x00\x02", 5));
  ASSERT_EQ(ReadFromLink(link_, 5).size(), 5U);
  // The answer's notification is the first one: the write posted nothing.
  DeviceSendsRecord(Bytes("\x50\x02"));
}

TEST_F(SerialTransfer, PendingWritePostsWParam1WhenItCompletes) {
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  // Far more than the pseudo-terminal buffers, read by a slow consumer:
  // the writer has to wait for room, whatever the scheduling.
  constexpr int kRecords = 40;
  std::vector<std::uint8_t> expected;
  for (int r = 0; r < kRecords; ++r) {
    // Every byte value, in a different order each time, must cross unchanged.
    std::vector<std::uint8_t> block(1000);
    std::iota(block.begin(), block.end(), static_cast<std::uint8_t>(r * 7));
    ASSERT_TRUE(port_.Send(block.data(), static_cast<std::uint32_t>(block.size())));
    expected.insert(expected.end(), block.begin(), block.end());
  }
  std::vector<std::uint8_t> received;
  const auto deadline = Clock::now() + 4 * kCap;
  std::vector<std::uint8_t> chunk(1024);
  while (received.size() < expected.size() && Clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);  // the slow consumer's pace
    const long n = link_.ReadSome(chunk.data(), chunk.size(), kCap);
    ASSERT_GE(n, 0);
    received.insert(received.end(), chunk.begin(), chunk.begin() + n);
  }
  EXPECT_EQ(received, expected);

  const std::optional<Posted> post = target_.Next();
  ASSERT_TRUE(post.has_value());
  EXPECT_EQ(post->msg, WM_SERIAL_NOTIFY);
  EXPECT_EQ(post->wParam, 1U);
  EXPECT_NE(post->lParam, 0);
}

// A port with its own channels beside one on the process-wide pair: each
// line carries its own port's bytes, each answer reaches its own port.
TEST_F(SerialTransfer, TwoPortsAtOnceNeverMixTheirRecords) {
  sim::PtyLink linkB;
  std::string error;
  ASSERT_TRUE(linkB.Open(kPortNumber + 1, env_.portsDir(), &error)) << error;
  BufferChannel rxB;
  BufferChannel txB;
  QueueTarget targetB;
  SerialPort portB(rxB, txB);
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  ASSERT_TRUE(
      portB.Open(&targetB, WM_SERIAL_NOTIFY, kPortNumber + 1, 9600, 8, tevra::Parity::kEven, 1));

  const std::vector<std::uint8_t> a(1000, 'A');
  const std::vector<std::uint8_t> b(1000, 'B');
  for (int r = 0; r < 3; ++r) {
    ASSERT_TRUE(port_.Send(a.data(), 1000));
    ASSERT_TRUE(portB.Send(b.data(), 1000));
  }
  EXPECT_EQ(ReadFromLink(link_, 3000), std::vector<std::uint8_t>(3000, 'A'));
  EXPECT_EQ(ReadFromLink(linkB, 3000), std::vector<std::uint8_t>(3000, 'B'));

  DeviceWrites(Bytes("to A"));
  ASSERT_TRUE(linkB.WriteAll("to B", 4, kCap));
  ExpectRecordPost();
  ASSERT_TRUE(targetB.Next().has_value());
  EXPECT_EQ(ReceiveRecord(port_), Bytes("to A"));
  EXPECT_EQ(ReceiveRecord(portB), Bytes("to B"));
  EXPECT_FALSE(ReceiveRecord(port_).has_value());
  EXPECT_FALSE(ReceiveRecord(portB).has_value());
}

TEST_F(SerialTransfer, CloseReturnsPromptlyWhileAWriteIsStuck) {
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  const std::vector<std::uint8_t> block(1000, 0x55);
  for (int r = 0; r < 60; ++r) {
    ASSERT_TRUE(port_.Send(block.data(), 1000));
  }
  // Nobody reads: once output shows up the writer soon has no room left.
  ASSERT_TRUE(WaitReadable(link_.master_fd(), kCap));
  const auto before = Clock::now();
  EXPECT_TRUE(port_.Close());
  EXPECT_LT(Clock::now() - before, 2s);
  EXPECT_FALSE(port_.IsOpen());

  // The abandoned records do not come back on the next open.
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  std::vector<std::uint8_t> drain(4096);
  while (link_.ReadSome(drain.data(), drain.size(), 0ms) > 0) {
  }
  ASSERT_TRUE(port_.Send("after", 5));
  EXPECT_EQ(ReadFromLink(link_, 5), Bytes("after"));
}

TEST_F(SerialTransfer, HungUpLineDoesNotSpinAndClosesPromptly) {
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  link_.Close();
  ASSERT_TRUE(port_.Send("lost", 4));

  // Retries on a dead line are paced: the process stays nearly idle.
  const auto cpuBefore = ProcessCpuTime();
  const auto wallBefore = Clock::now();
  std::this_thread::sleep_for(500ms);  // the window being measured
  const auto cpu = ProcessCpuTime() - cpuBefore;
  const auto wall = Clock::now() - wallBefore;
  EXPECT_LT(cpu, wall / 4) << "workers spin on the hung-up line";

  const auto before = Clock::now();
  EXPECT_TRUE(port_.Close());
  EXPECT_LT(Clock::now() - before, 2s);
}

}  // namespace
}  // namespace tevra
