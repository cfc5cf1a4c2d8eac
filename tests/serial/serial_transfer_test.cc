// Bytes crossing the line in both directions, write notifications, and
// closing a port whose line is stuck or gone.
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include "serial/serial_port.h"
#include "tests/serial/serial_test_support.h"
#include "tools/dongle_simulator.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> AllByteValues() {
  std::vector<std::uint8_t> v(256);
  std::iota(v.begin(), v.end(), std::uint8_t{0});
  return v;
}

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

TEST_F(SerialTransfer, EveryByteValueCrossesUnchangedFromTheDevice) {
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  DeviceSendsRecord(AllByteValues());
}

TEST_F(SerialTransfer, EveryByteValueCrossesUnchangedToTheDevice) {
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  const auto all = AllByteValues();
  // As the updater sends: blocks of 128, then one record of every value.
  ASSERT_TRUE(port_.Send(all.data(), 128));
  ASSERT_TRUE(port_.Send(all.data() + 128, 128));
  ASSERT_TRUE(port_.Send(all.data(), 256));
  auto expected = all;
  expected.insert(expected.end(), all.begin(), all.end());
  EXPECT_EQ(ReadFromLink(link_, expected.size()), expected);
}

TEST_F(SerialTransfer, SendOfMoreThanARecordFailsAndQueuesNothing) {
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  const std::vector<std::uint8_t> big(1024, 0x41);
  EXPECT_FALSE(port_.Send(big.data(), 1024));
  ASSERT_TRUE(port_.Send("ok", 2));
  EXPECT_EQ(ReadFromLink(link_, 2), Bytes("ok"));
}

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
    std::vector<std::uint8_t> block(1000, static_cast<std::uint8_t>(r));
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

// The whole road against the device simulator: commands out, framed answers
// back, and the block stored unchanged on the device.
TEST(SerialWithDongle, EraseHeaderAndBlockAreAnsweredAndStored) {
  const test::IsolatedEnvironment env;
  sim::DongleOptions options;
  options.port = kPortNumber;
  options.portsDir = env.portsDir();
  sim::DongleSimulator dongle(options);
  std::string error;
  ASSERT_TRUE(dongle.Start(&error)) << error;
  QueueTarget target;
  SerialPort port;
  ASSERT_TRUE(OpenLikeUpdater(port, &target));

  const auto expectAnswer = [&](const std::vector<std::uint8_t>& answer) {
    const std::optional<Posted> post = target.Next();
    ASSERT_TRUE(post.has_value());
    ASSERT_EQ(post->wParam, 0U);
    EXPECT_EQ(ReceiveRecord(port), answer);
  };

  ASSERT_TRUE(port.Send("\xE0\x22\x00\x00\x02", 5));
  expectAnswer({0x50, 0x02});

  const std::vector<std::uint8_t> header{0xE0, 0x55, 0x00, 0x00, 0x80};
  ASSERT_TRUE(port.Send(header.data(), 5));
  auto headerAnswer = header;
  headerAnswer.insert(headerAnswer.end(), {0xB0, 0xB1, 0xB2});
  expectAnswer(headerAnswer);

  std::vector<std::uint8_t> block(128);
  std::iota(block.begin(), block.end(), std::uint8_t{0x80});  // 0x80..0xFF
  ASSERT_TRUE(port.Send(block.data(), 128));
  auto blockAnswer = block;
  blockAnswer.insert(blockAnswer.end(), {0x50, 0x00});
  expectAnswer(blockAnswer);

  EXPECT_EQ(dongle.Stats().image, block);
  port.Close();
  dongle.Stop();
}

}  // namespace
}  // namespace tevra
