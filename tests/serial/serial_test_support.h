#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>

#include <gtest/gtest.h>

#include "platform/event.h"
#include "serial/notify_target.h"
#include "serial/serial_port.h"
#include "sim/pty_link.h"
#include "tests/support/isolated_environment.h"

namespace tevra {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes8 = std::vector<std::uint8_t>;

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
  bool Post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override {
    {
      const std::lock_guard lock(mutex_);
      posts_.push_back(Posted{msg, wParam, lParam, Clock::now()});
    }
    cv_.notify_all();
    return true;
  }
  std::optional<Posted> Next(milliseconds timeout = kCap) {  // the oldest post
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !posts_.empty(); }))
      return std::nullopt;
    const Posted p = posts_.front();
    posts_.pop_front();
    return p;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Posted> posts_;
};

class SerialPortTestPeer {
 public:
  static bool AnyEventSet(const SerialPort& port) {
    return std::ranges::any_of(
        std::initializer_list<const Event*>{
            &port.evStartReader, &port.evStartGap, &port.evStartComm, &port.evStopComm,
            &port.evStopGap, &port.evStopReader, &port.evCommDone, &port.evGapDone,
            &port.evReaderDone, &port.evDataReady, &port.evRxChar, &port.evStopWriter,
            &port.evWriterDone, &port.evTxQueued},
        [](const Event* e) { return e->IsSet(); });
  }
  static LineSettings RequestedLine(const SerialPort& port) { return port.m_hComm.RequestedLine(); }
};

// Port 3 at 8 data bits, even parity, one stop bit, as the updater opens it.
inline bool OpenLikeUpdater(SerialPort& port, NotifyTarget* target, std::uint32_t baud = 9600) {
  return port.Open(target, WM_SERIAL_NOTIFY, kPortNumber, baud, 8, Parity::kEven, 1);
}

// The next record as Receive gives it to a 1024-byte buffer; nullopt when none waits.
inline std::optional<Bytes8> ReceiveRecord(SerialPort& port) {
  Bytes8 buffer(1024, 0);
  std::uint32_t size = 1024;
  if (!port.Receive(buffer.data(), size))
    return std::nullopt;
  buffer.resize(size == 0 ? 0 : size - 1);  // without the record's zero byte
  return buffer;
}

// Exactly len bytes from the device's side, or what came within the cap.
inline Bytes8 ReadFromLink(sim::PtyLink& link, std::size_t len) {
  Bytes8 out(len);
  std::size_t have = 0;
  for (const auto deadline = Clock::now() + kCap; have < len && Clock::now() < deadline;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    const long n = link.ReadSome(out.data() + have, len - have, left);
    if (n < 0) {
      break;
    }
    have += static_cast<std::size_t>(n);
  }
  out.resize(have);
  return out;
}

// This process's open descriptors and threads.
inline std::pair<std::ptrdiff_t, std::ptrdiff_t> Held() {
  const auto count = [](const char* dir) {
    return std::distance(std::filesystem::directory_iterator(dir), {});
  };
  return {count("/proc/self/fd"), count("/proc/self/task")};
}
inline Bytes8 Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

// A pseudo-terminal published as COM3, a receiver and a port (last, so it
// closes first).
class LinkedPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(link_.Open(kPortNumber, env_.portsDir(), &error)) << error;
  }
  void DeviceWrites(const Bytes8& bytes) {
    ASSERT_TRUE(link_.WriteAll(bytes.data(), bytes.size(), kCap));
  }
  Posted ExpectRecordPost() {  // the next post announces a record
    const std::optional<Posted> post = target_.Next();
    EXPECT_TRUE(post && post->msg == WM_SERIAL_NOTIFY && post->wParam == 0 && post->lParam == 0);
    return post.value_or(Posted{});
  }
  void DeviceSendsRecord(const Bytes8& bytes) {  // the next record holds exactly these bytes
    DeviceWrites(bytes);
    ExpectRecordPost();
    EXPECT_EQ(ReceiveRecord(port_), bytes);
  }

  test::IsolatedEnvironment env_;
  sim::PtyLink link_;
  QueueTarget target_;
  SerialPort port_;
};

// The same with the port open as the updater opens it.
class OpenPortTest : public LinkedPortTest {
 protected:
  void SetUp() override {
    LinkedPortTest::SetUp();
    ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  }
};

}  // namespace tevra
