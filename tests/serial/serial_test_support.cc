#include "tests/serial/serial_test_support.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/event.h"

namespace tevra {
namespace {

std::size_t CountEntries(const char* dir) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    static_cast<void>(entry);
    ++count;
  }
  return count;
}

}  // namespace

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
  Posted p = posts_.front();
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

LineSettings SerialPortTestPeer::RequestedLine(const SerialPort& port) {
  return port.m_hComm.RequestedLine();
}

void SerialPortTestPeer::SignalDataReady(SerialPort& port) {
  port.evDataReady.Set();
}

bool OpenLikeUpdater(SerialPort& port, NotifyTarget* target, std::uint32_t baud) {
  return port.Open(target, WM_SERIAL_NOTIFY, kPortNumber, baud, 8, tevra::Parity::kEven, 1);
}

std::optional<std::vector<std::uint8_t>> ReceiveRecord(SerialPort& port) {
  std::vector<std::uint8_t> buffer(1024, 0);
  std::uint32_t size = 1024;
  if (!port.Receive(buffer.data(), size)) {
    return std::nullopt;
  }
  // The copy ends with the record's zero byte; the record is what precedes it.
  buffer.resize(size == 0 ? 0 : size - 1);
  return buffer;
}

std::vector<std::uint8_t> ReadFromLink(sim::PtyLink& link, std::size_t len, milliseconds timeout) {
  std::vector<std::uint8_t> out;
  const auto deadline = Clock::now() + timeout;
  std::vector<std::uint8_t> chunk(4096);
  while (out.size() < len && Clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    const long n = link.ReadSome(chunk.data(), std::min(chunk.size(), len - out.size()), left);
    if (n < 0) {
      break;
    }
    out.insert(out.end(), chunk.begin(), chunk.begin() + n);
  }
  return out;
}

std::size_t OpenDescriptorCount() {
  return CountEntries("/proc/self/fd");
}
std::size_t ThreadCount() {
  return CountEntries("/proc/self/task");
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

void LinkedPortTest::SetUp() {
  std::string error;
  ASSERT_TRUE(link_.Open(kPortNumber, env_.portsDir(), &error)) << error;
}

void LinkedPortTest::DeviceWrites(const std::vector<std::uint8_t>& bytes) {
  ASSERT_TRUE(link_.WriteAll(bytes.data(), bytes.size(), kCap))
      << std::error_code(errno, std::generic_category()).message();
}

void LinkedPortTest::DeviceSendsRecord(const std::vector<std::uint8_t>& bytes) {
  DeviceWrites(bytes);
  ExpectRecordPost();
  EXPECT_EQ(ReceiveRecord(port_), bytes);
}

Posted LinkedPortTest::ExpectRecordPost() {
  const std::optional<Posted> post = target_.Next();
  EXPECT_TRUE(post.has_value()) << "no notification within the cap";
  if (!post) {
    return {};
  }
  EXPECT_EQ(post->msg, WM_SERIAL_NOTIFY);
  EXPECT_EQ(post->wParam, 0U);
  EXPECT_EQ(post->lParam, 0);
  return *post;
}

}  // namespace tevra
