// Write notifications, two ports at once, and closing a stuck or gone line.
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <numeric>
#include <thread>

#include "serial/buffer_channel.h"
#include "tests/serial/serial_test_support.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;

class SerialTransfer : public LinkedPortTest {
 protected:
  void SetUp() override {
    LinkedPortTest::SetUp();
    ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  }
};

// A write that completes at once posts nothing; one that had to wait for
// room posts wParam 1. Every byte value crosses unchanged.
TEST_F(SerialTransfer, OnlyAPendingWritePostsWhenItCompletes) {
  ASSERT_TRUE(port_.Send("\xE0\x22\x00\x00\x02", 5));
  ASSERT_EQ(ReadFromLink(link_, 5).size(), 5U);
  DeviceSendsRecord(Bytes("\x50\x02"));

  Bytes8 expected(40000);
  std::iota(expected.begin(), expected.end(), std::uint8_t{0});
  for (std::size_t at = 0; at < expected.size(); at += 1000) {
    ASSERT_TRUE(port_.Send(expected.data() + at, 1000));
  }
  Bytes8 received;
  Bytes8 chunk(1024);
  for (const auto deadline = Clock::now() + 4 * kCap;
       received.size() < expected.size() && Clock::now() < deadline;) {
    std::this_thread::sleep_for(5ms);  // a slow reader: the writer must wait for room
    const long n = link_.ReadSome(chunk.data(), chunk.size(), kCap);
    ASSERT_GE(n, 0);
    received.insert(received.end(), chunk.begin(), chunk.begin() + n);
  }
  EXPECT_EQ(received, expected);
  const std::optional<Posted> post = target_.Next();
  ASSERT_TRUE(post.has_value());
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
  ASSERT_TRUE(portB.Open(&targetB, WM_SERIAL_NOTIFY, kPortNumber + 1, 9600, 8, Parity::kEven, 1));
  const Bytes8 a(1000, 'A');
  const Bytes8 b(1000, 'B');
  for (int r = 0; r < 3; ++r) {
    ASSERT_TRUE(port_.Send(a.data(), 1000));
    ASSERT_TRUE(portB.Send(b.data(), 1000));
  }
  EXPECT_EQ(ReadFromLink(link_, 3000), Bytes8(3000, 'A'));
  EXPECT_EQ(ReadFromLink(linkB, 3000), Bytes8(3000, 'B'));

  DeviceWrites(Bytes("to A"));
  ASSERT_TRUE(linkB.WriteAll("to B", 4, kCap));
  ExpectRecordPost();
  ASSERT_TRUE(targetB.Next().has_value());
  EXPECT_EQ(ReceiveRecord(port_), Bytes("to A"));
  EXPECT_EQ(ReceiveRecord(portB), Bytes("to B"));
  EXPECT_FALSE(ReceiveRecord(port_).has_value());
  EXPECT_FALSE(ReceiveRecord(portB).has_value());
}

// The abandoned records do not come back on the next Open.
TEST_F(SerialTransfer, CloseAbandonsAStuckWritePromptly) {
  const Bytes8 block(1000, 0x55);
  for (int r = 0; r < 60; ++r) {
    ASSERT_TRUE(port_.Send(block.data(), 1000));
  }
  pollfd p{link_.master_fd(), POLLIN, 0};  // nobody reads: the writer soon has no room
  ASSERT_EQ(poll(&p, 1, static_cast<int>(kCap.count())), 1);
  const auto before = Clock::now();
  EXPECT_TRUE(port_.Close());
  EXPECT_LT(Clock::now() - before, 2s);

  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  Bytes8 drain(4096);
  while (link_.ReadSome(drain.data(), drain.size(), 0ms) > 0) {
  }
  ASSERT_TRUE(port_.Send("after", 5));
  EXPECT_EQ(ReadFromLink(link_, 5), Bytes("after"));
}

TEST_F(SerialTransfer, HungUpLineDoesNotSpinAndClosesPromptly) {
  const auto cpuNow = [] {
    timespec ts{};
    EXPECT_EQ(clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts), 0);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  };
  link_.Close();
  ASSERT_TRUE(port_.Send("lost", 4));
  const auto cpuBefore = cpuNow();
  const auto wallBefore = Clock::now();
  std::this_thread::sleep_for(500ms);  // the window being measured
  EXPECT_LT(cpuNow() - cpuBefore, (Clock::now() - wallBefore) / 4) << "workers spin";
  const auto before = Clock::now();
  EXPECT_TRUE(port_.Close());
  EXPECT_LT(Clock::now() - before, 2s);
}

}  // namespace
}  // namespace tevra
