// Opening and closing: repeated cycles and failures leave nothing behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <tuple>
#include <utility>

#include "platform/line_settings.h"
#include "tests/serial/serial_test_support.h"

namespace tevra {
namespace {

using SerialLifecycle = LinkedPortTest;

// Each cycle's workers run (a burst arrives), each Close leaves no event
// signalled, descriptor or thread behind; a second Open while open keeps the
// first target and rate, and a second port object cannot take a held port.
TEST_F(SerialLifecycle, OpenCloseCyclesLeaveNothingBehind) {
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));  // runtimes start their own threads once
  ASSERT_TRUE(port_.Close());
  QueueTarget other;
  SerialPort second;
  const auto held = Held();
  for (int cycle = 0; cycle < 2; ++cycle) {
    ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
    EXPECT_TRUE(port_.Open(&other, WM_SERIAL_NOTIFY, 5, 115200, 7, Parity::kNone, 2));
    EXPECT_FALSE(OpenLikeUpdater(second, &other));
    LineSettings line;
    ASSERT_TRUE(ReadLineSettings(link_.master_fd(), line));
    EXPECT_EQ(RateOf(line), 9600U);
    DeviceSendsRecord(Bytes("burst"));
    EXPECT_FALSE(other.Next(milliseconds{0}));
    ASSERT_TRUE(port_.Close());
    EXPECT_FALSE(SerialPortTestPeer::AnyEventSet(port_));
    EXPECT_EQ(Held(), held);
  }
}

TEST_F(SerialLifecycle, FailedOpenLeavesThePortClosedAndNothingHeld) {
  ASSERT_EQ(symlink("/dev/tevra-no-such-device", (env_.portsDir() + "/COM9").c_str()), 0);
  // Descriptors run out while a port creates its events: it must never open.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(Held().first) + 4;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  auto starved = std::make_unique<SerialPort>();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_FALSE(OpenLikeUpdater(*starved, &target_));
  starved.reset();

  const auto held = Held();
  const std::pair<int, int> opens[] = {{0, 9600}, {9, 9600}, {kPortNumber, 0}};  // port, rate
  for (const auto& [number, baud] : opens) {
    SCOPED_TRACE(number);
    EXPECT_FALSE(port_.Open(&target_, WM_SERIAL_NOTIFY, static_cast<std::uint8_t>(number),
                            static_cast<std::uint32_t>(baud), 8, Parity::kEven, 1));
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_EQ(Held(), held);
    EXPECT_FALSE(SerialPortTestPeer::AnyEventSet(port_));
  }
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  DeviceSendsRecord(Bytes("ok"));
}

// A pseudo-terminal drops parity: the settings asked of the driver are
// checked. Stop-bit codes other than 1 and 2 mean one and a half: two.
TEST_F(SerialLifecycle, OpenAsksTheDriverForExactlyTheFormat) {
  const std::tuple<Parity, int, StopBits> formats[] = {
      {Parity::kEven, 1, StopBits::kOne},  {Parity::kOdd, 1, StopBits::kOne},
      {Parity::kNone, 1, StopBits::kOne},  {Parity::kMark, 2, StopBits::kTwo},
      {Parity::kSpace, 0, StopBits::kTwo}, {Parity::kEven, 3, StopBits::kTwo}};
  for (const auto& [parity, code, stop] : formats) {
    SCOPED_TRACE(code);
    ASSERT_TRUE(port_.Open(&target_, WM_SERIAL_NOTIFY, kPortNumber, 9600, 8, parity,
                           static_cast<std::uint8_t>(code)));
    const LineSettings asked = SerialPortTestPeer::RequestedLine(port_);
    EXPECT_EQ(ParityOf(asked), parity);
    EXPECT_EQ(StopBitsOf(asked), stop);
    EXPECT_EQ(DataBitsOf(asked), 8);
    EXPECT_TRUE(IsRaw(asked));
    ASSERT_TRUE(port_.Close());
  }
}

}  // namespace
}  // namespace tevra
