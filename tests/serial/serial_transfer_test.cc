// Two ports at once, and closing a stuck or gone line.
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <thread>

#include "serial/buffer_channel.h"
#include "tests/serial/serial_test_support.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;

using SerialTransfer = OpenPortTest;

// A port with its own channels beside one on the process-wide pair.
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
