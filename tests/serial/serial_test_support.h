#pragma once

#include <chrono>
#include <condition_variable>
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
#include "sim/pty_link.h"
#include "tests/support/isolated_environment.h"

namespace tevra {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes8 = std::vector<std::uint8_t>;

// Generous cap for anything the tests wait for: only reached on failure.
inline constexpr milliseconds kCap{5000};
inline constexpr std::uint8_t kPortNumber = 3;

struct Posted {
  std::uint32_t msg = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
  Clock::time_point at;
};

// Queues what the workers post, with the time of arrival.
class QueueTarget : public NotifyTarget {
 public:
  bool Post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;
  std::optional<Posted> Next(milliseconds timeout = kCap);  // the oldest post
  std::size_t Count() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Posted> posts_;
};

class SerialPortTestPeer {
 public:
  static bool AnyEventSet(const SerialPort& port);
  static LineSettings RequestedLine(const SerialPort& port) { return port.m_hComm.RequestedLine(); }
};

// Port 3 at 8 data bits, even parity, one stop bit, as the updater opens it.
bool OpenLikeUpdater(SerialPort& port, NotifyTarget* target, std::uint32_t baud = 9600);
// The next record as Receive gives it to a 1024-byte buffer; nullopt when none waits.
std::optional<Bytes8> ReceiveRecord(SerialPort& port);
// Exactly len bytes from the device's side, or what came within the cap.
Bytes8 ReadFromLink(sim::PtyLink& link, std::size_t len);
std::size_t OpenDescriptorCount();
std::size_t ThreadCount();
inline Bytes8 Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

// A pseudo-terminal published as COM3, a receiver and a port (last, so it
// closes first).
class LinkedPortTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void DeviceWrites(const Bytes8& bytes);
  Posted ExpectRecordPost();                    // the next post announces a record
  void DeviceSendsRecord(const Bytes8& bytes);  // ...which holds exactly these bytes

  test::IsolatedEnvironment env_;
  sim::PtyLink link_;
  QueueTarget target_;
  SerialPort port_;
};

}  // namespace tevra
