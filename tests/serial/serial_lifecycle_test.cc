// Opening and closing: exclusivity, failures, repeated cycles that must
// leave nothing behind, and the line settings the port applies.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm_device.h"
#include "platform/line_settings.h"
#include "serial/serial_port.h"
#include "tests/serial/serial_test_support.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;

using SerialLifecycle = LinkedPortTest;

TEST_F(SerialLifecycle, OpenWhileOpenReturnsTrueAndKeepsEarlierTargetAndRate) {
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_, 9600));
  QueueTarget other;
  EXPECT_TRUE(port_.Open(&other, WM_SERIAL_NOTIFY, 5, 115200, 7, Parity::kNone, 2));
  EXPECT_TRUE(port_.IsOpen());

  LineSettings line;
  ASSERT_TRUE(ReadLineSettings(link_.master_fd(), line));
  EXPECT_EQ(RateOf(line), 9600U);
  EXPECT_EQ(StopBitsOf(line), StopBits::kOne);

  DeviceWrites(Bytes("hi"));
  ExpectRecordPost();
  EXPECT_EQ(other.Count(), 0U);
}

TEST_F(SerialLifecycle, SecondPortObjectCannotOpenAHeldPortButCanAfterClose) {
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  QueueTarget secondTarget;  // outlives the port that posts to it
  SerialPort second;
  EXPECT_FALSE(OpenLikeUpdater(second, &secondTarget));
  EXPECT_FALSE(second.IsOpen());
  // The failed attempt disturbed nothing: the holder still receives.
  DeviceSendsRecord(Bytes("one"));

  ASSERT_TRUE(port_.Close());
  ASSERT_TRUE(OpenLikeUpdater(second, &secondTarget));
  DeviceWrites(Bytes("two"));
  ASSERT_TRUE(secondTarget.Next().has_value());
  EXPECT_EQ(ReceiveRecord(second), Bytes("two"));
}

// Descriptors run out while the port creates its events: it must refuse to
// open rather than run workers on events that do not exist.
TEST_F(SerialLifecycle, PortWhoseEventsCouldNotAllBeCreatedNeverOpens) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = OpenDescriptorCount() + 4;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  auto starved = std::make_unique<SerialPort>();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_FALSE(OpenLikeUpdater(*starved, &target_));
  EXPECT_FALSE(starved->IsOpen());
  EXPECT_TRUE(starved->Close());
  starved.reset();
  // The port was never held.
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
}

struct FailingOpen {
  const char* name;
  std::uint8_t portNumber;
  std::uint32_t baud;
};

class SerialOpenFails : public LinkedPortTest, public ::testing::WithParamInterface<FailingOpen> {};

TEST_P(SerialOpenFails, LeavesPortClosedAndNothingHeld) {
  // COM9 points nowhere: a device that does not exist.
  const std::string missing = env_.portsDir() + "/COM9";
  ASSERT_EQ(symlink("/dev/tevra-no-such-device", missing.c_str()), 0);

  const std::size_t fds = OpenDescriptorCount();
  const std::size_t threads = ThreadCount();
  const FailingOpen c = GetParam();
  EXPECT_FALSE(port_.Open(&target_, WM_SERIAL_NOTIFY, c.portNumber, c.baud, 8, Parity::kEven, 1));
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(OpenDescriptorCount(), fds);
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_FALSE(SerialPortTestPeer::AnyEventSet(port_));

  // The same object opens the real port afterwards.
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  DeviceWrites(Bytes("ok"));
  ExpectRecordPost();
}

INSTANTIATE_TEST_SUITE_P(Cases, SerialOpenFails,
                         ::testing::Values(FailingOpen{"Com0", 0, 9600},
                                           FailingOpen{"MissingDevice", 9, 9600},
                                           FailingOpen{"RateZero", kPortNumber, 0}),
                         [](const ::testing::TestParamInfo<FailingOpen>& p) {
                           return std::string(p.param.name);
                         });

struct LineFormatCase {
  const char* name;
  Parity parity;
  std::uint8_t stopBits;  // as Open takes it
  StopBits wantStopBits;
};

class SerialLineFormat : public LinkedPortTest,
                         public ::testing::WithParamInterface<LineFormatCase> {};

// A pseudo-terminal drops parity, so the settings the port asked for are
// checked, along with the line itself for what a pseudo-terminal keeps.
TEST_P(SerialLineFormat, OpenAsksTheDriverForExactlyThisFormat) {
  const LineFormatCase c = GetParam();
  ASSERT_TRUE(port_.Open(&target_, WM_SERIAL_NOTIFY, kPortNumber, 9600, 8, c.parity, c.stopBits));
  const LineSettings asked = SerialPortTestPeer::RequestedLine(port_);
  EXPECT_EQ(ParityOf(asked), c.parity);
  EXPECT_EQ(StopBitsOf(asked), c.wantStopBits);
  EXPECT_EQ(DataBitsOf(asked), 8);
  EXPECT_TRUE(IsRaw(asked));
  LineSettings line;
  ASSERT_TRUE(ReadLineSettings(link_.master_fd(), line));
  EXPECT_EQ(StopBitsOf(line), c.wantStopBits);
  EXPECT_EQ(RateOf(line), 9600U);
}

// The updater's own format first: 8 data bits, even parity, one stop bit.
// Stop-bit codes other than 1 and 2 mean one and a half, which the line can
// only give as two.
INSTANTIATE_TEST_SUITE_P(
    Formats, SerialLineFormat,
    ::testing::Values(LineFormatCase{"Updater8E1", Parity::kEven, 1, StopBits::kOne},
                      LineFormatCase{"Odd", Parity::kOdd, 1, StopBits::kOne},
                      LineFormatCase{"None", Parity::kNone, 1, StopBits::kOne},
                      LineFormatCase{"Mark", Parity::kMark, 1, StopBits::kOne},
                      LineFormatCase{"Space", Parity::kSpace, 1, StopBits::kOne},
                      LineFormatCase{"StopCode0", Parity::kEven, 0, StopBits::kTwo},
                      LineFormatCase{"StopCode2", Parity::kEven, 2, StopBits::kTwo},
                      LineFormatCase{"StopCode3", Parity::kEven, 3, StopBits::kTwo}),
    [](const ::testing::TestParamInfo<LineFormatCase>& p) { return std::string(p.param.name); });

// 200 cycles, spread over eight ports at once so the 100 ms that each Close
// waits does not add up; every few cycles a burst proves the workers run.
TEST(SerialCycles, TwoHundredOpenCloseCyclesLeaveNoDescriptorThreadOrSignalledEvent) {
  const test::IsolatedEnvironment env;
  constexpr std::size_t kPorts = 8;
  constexpr int kCyclesEach = 25;
  std::vector<std::unique_ptr<sim::PtyLink>> links;
  std::vector<std::unique_ptr<SerialPort>> ports;
  std::vector<std::unique_ptr<QueueTarget>> targets;
  for (std::size_t i = 0; i < kPorts; ++i) {
    links.push_back(std::make_unique<sim::PtyLink>());
    std::string error;
    ASSERT_TRUE(links.back()->Open(static_cast<int>(i + 1), env.portsDir(), &error)) << error;
    ports.push_back(std::make_unique<SerialPort>());
    targets.push_back(std::make_unique<QueueTarget>());
  }
  // One cycle first, so threads a runtime starts once (ThreadSanitizer's
  // own) are part of the baseline.
  ASSERT_TRUE(ports[0]->Open(nullptr, WM_SERIAL_NOTIFY, 1, 9600, 8, Parity::kEven, 1));
  ports[0]->Close();
  const std::size_t fds = OpenDescriptorCount();
  const std::size_t threads = ThreadCount();

  std::vector<std::thread> drivers;
  std::array<int, kPorts> failures{};
  for (std::size_t i = 0; i < kPorts; ++i) {
    drivers.emplace_back([&, i] {
      SerialPort& port = *ports[i];
      for (int cycle = 0; cycle < kCyclesEach; ++cycle) {
        if (!port.Open(targets[i].get(), WM_SERIAL_NOTIFY, static_cast<std::uint8_t>(i + 1), 9600,
                       8, Parity::kEven, 1)) {
          ++failures[i];
          continue;
        }
        if (cycle % 8 == 0) {
          const char byte = 'x';
          if (!links[i]->WriteAll(&byte, 1, kCap) || !targets[i]->Next().has_value()) {
            ++failures[i];
          }
        }
        port.Close();
        if (SerialPortTestPeer::AnyEventSet(port)) {
          ++failures[i];
        }
      }
    });
  }
  for (std::thread& t : drivers) {
    t.join();
  }
  for (std::size_t i = 0; i < kPorts; ++i) {
    EXPECT_EQ(failures[i], 0) << "port " << i + 1;
  }
  EXPECT_EQ(OpenDescriptorCount(), fds);
  EXPECT_EQ(ThreadCount(), threads);
}

}  // namespace
}  // namespace tevra
