#include "tests/serial/serial_test_support.h"

#include <filesystem>
#include <iterator>

namespace tevra {

bool QueueTarget::Post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  {
    const std::lock_guard lock(mutex_);
    posts_.push_back(Posted{msg, wParam, lParam, Clock::now()});
  }
  cv_.notify_all();
  return true;
}

std::optional<Posted> QueueTarget::Next(milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [this] { return !posts_.empty(); })) {
    return std::nullopt;
  }
  const Posted p = posts_.front();
  posts_.pop_front();
  return p;
}

std::size_t QueueTarget::Count() const {
  const std::lock_guard lock(mutex_);
  return posts_.size();
}

bool SerialPortTestPeer::AnyEventSet(const SerialPort& port) {
  for (const Event* e : {&port.evStartReader, &port.evStartGap, &port.evStartComm, &port.evStopComm,
                         &port.evStopGap, &port.evStopReader, &port.evCommDone, &port.evGapDone,
                         &port.evReaderDone, &port.evDataReady, &port.evRxChar, &port.evStopWriter,
                         &port.evWriterDone, &port.evTxQueued}) {
    if (e->IsSet()) {
      return true;
    }
  }
  return false;
}

bool OpenLikeUpdater(SerialPort& port, NotifyTarget* target, std::uint32_t baud) {
  return port.Open(target, WM_SERIAL_NOTIFY, kPortNumber, baud, 8, Parity::kEven, 1);
}

std::optional<Bytes8> ReceiveRecord(SerialPort& port) {
  Bytes8 buffer(1024, 0);
  std::uint32_t size = 1024;
  if (!port.Receive(buffer.data(), size)) {
    return std::nullopt;
  }
  buffer.resize(size == 0 ? 0 : size - 1);  // without the record's zero byte
  return buffer;
}

Bytes8 ReadFromLink(sim::PtyLink& link, std::size_t len) {
  Bytes8 out(len);
  std::size_t have = 0;
  const auto deadline = Clock::now() + kCap;
  while (have < len && Clock::now() < deadline) {
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

std::size_t OpenDescriptorCount() {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}
std::size_t ThreadCount() {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

void LinkedPortTest::SetUp() {
  std::string error;
  ASSERT_TRUE(link_.Open(kPortNumber, env_.portsDir(), &error)) << error;
}

void LinkedPortTest::DeviceWrites(const Bytes8& bytes) {
  ASSERT_TRUE(link_.WriteAll(bytes.data(), bytes.size(), kCap));
}

Posted LinkedPortTest::ExpectRecordPost() {
  const std::optional<Posted> post = target_.Next();
  EXPECT_TRUE(post && post->msg == WM_SERIAL_NOTIFY && post->wParam == 0 && post->lParam == 0);
  return post.value_or(Posted{});
}

void LinkedPortTest::DeviceSendsRecord(const Bytes8& bytes) {
  DeviceWrites(bytes);
  ExpectRecordPost();
  EXPECT_EQ(ReceiveRecord(port_), bytes);
}

}  // namespace tevra
