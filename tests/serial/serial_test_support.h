#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/line_settings.h"
#include "serial/notify_target.h"
#include "serial/serial_port.h"
#include "tests/support/isolated_environment.h"
#include "sim/pty_link.h"

namespace tevra {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Generous cap for anything the tests wait for: only reached on failure.
inline constexpr milliseconds kCap{5000};

struct Posted {
  std::uint32_t msg = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
  Clock::time_point at;
};

// A real receiver: queues what the workers post, with the time of arrival,
// for the test thread to take.
class QueueTarget : public NotifyTarget {
 public:
  bool Post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;
  // The oldest post, waiting at most `timeout` for one.
  std::optional<Posted> Next(milliseconds timeout = kCap);
  std::size_t Count() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Posted> posts_;
};

// Reaches into a port for what no public call shows.
class SerialPortTestPeer {
 public:
  static bool AnyEventSet(const SerialPort& port);
  static void SignalDataReady(SerialPort& port);
  static LineSettings RequestedLine(const SerialPort& port);
};

// Opens port 3 on the link as the updater does: 8 data bits, even parity,
// one stop bit.
bool OpenLikeUpdater(SerialPort& port, NotifyTarget* target, std::uint32_t baud = 9600);
inline constexpr std::uint8_t kPortNumber = 3;

// The next record as Receive gives it to a 1024-byte buffer; nullopt when
// none waits.
std::optional<std::vector<std::uint8_t>> ReceiveRecord(SerialPort& port);

// Reads exactly len bytes from the master side, giving up after `timeout`.
std::vector<std::uint8_t> ReadFromLink(sim::PtyLink& link, std::size_t len,
                                       milliseconds timeout = kCap);

// Counts of this process's open descriptors and threads.
std::size_t OpenDescriptorCount();
std::size_t ThreadCount();

std::vector<std::uint8_t> Bytes(const std::string& text);

// A pseudo-terminal published as COM3 in a fresh ports directory, a
// receiver and a port (declared last, so it closes before the others go).
class LinkedPortTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Writes bytes as the device, all at once.
  void DeviceWrites(const std::vector<std::uint8_t>& bytes);
  // Waits for the next post; it must announce a received record.
  Posted ExpectRecordPost();
  // Writes bytes as the device; they must come back as the next record.
  void DeviceSendsRecord(const std::vector<std::uint8_t>& bytes);

  test::IsolatedEnvironment env_;
  sim::PtyLink link_;
  QueueTarget target_;
  SerialPort port_;
};

}  // namespace tevra
