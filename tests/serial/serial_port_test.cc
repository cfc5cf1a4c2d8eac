// The port with its workers on a pseudo-terminal published as COM3: framing by
// the quiet gap, transfers, opening and closing.
#include "serial/serial_port.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

#include "platform/diagnostics.h"
#include "platform/line_settings.h"
#include "serial/buffer_channel.h"
#include "serial/quiet_gap_thread.h"
#include "serial/serial_buffer.h"
#include "sim/pty_link.h"
#include "tests/support/isolated_environment.h"

namespace tevra {

class SerialPortTestPeer {
 public:
  static LineSettings RequestedLine(const SerialPort& port) { return port.m_hComm.RequestedLine(); }
};

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes8 = std::vector<std::uint8_t>;

constexpr milliseconds kCap{5000};
constexpr std::uint8_t kPortNumber = 3;

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

// 8 data bits, even parity, one stop bit, as the updater opens it.
bool OpenLikeUpdater(SerialPort& port, NotifyTarget* target, std::uint8_t number = kPortNumber) {
  return port.Open(target, WM_SERIAL_NOTIFY, number, 9600, 8, Parity::kEven, 1);
}

// The next record as Receive gives it to a 1024-byte buffer; nullopt when none waits.
std::optional<Bytes8> ReceiveRecord(SerialPort& port) {
  Bytes8 buffer(1024, 0);
  std::uint32_t size = 1024;
  if (!port.Receive(buffer.data(), size))
    return std::nullopt;
  buffer.resize(size == 0 ? 0 : size - 1);  // without the record's zero byte
  return buffer;
}

// Exactly len bytes from the device's side, or what came within the cap.
Bytes8 ReadFromLink(sim::PtyLink& link, std::size_t len) {
  Bytes8 out(len);
  std::size_t have = 0;
  for (long n = 1; have < len && n > 0; have += n > 0 ? static_cast<std::size_t>(n) : 0) {
    n = link.ReadSome(out.data() + have, len - have, kCap);
  }
  out.resize(have);
  return out;
}

// This process's open descriptors and threads.
std::pair<std::ptrdiff_t, std::ptrdiff_t> Held() {
  const auto count = [](const char* dir) {
    return std::distance(std::filesystem::directory_iterator(dir), {});
  };
  return {count("/proc/self/fd"), count("/proc/self/task")};
}

Bytes8 Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

// A pseudo-terminal published as COM3, a receiver and a port (last, so it
// closes first).
class SerialPortTest : public ::testing::Test {
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
  std::vector<Bytes8> CollectRecords(std::size_t total) {
    std::vector<Bytes8> records;
    for (std::size_t seen = 0; seen < total;) {
      const std::optional<Posted> post = target_.Next();
      const auto record = post ? ReceiveRecord(port_) : std::nullopt;
      if (!record) {
        ADD_FAILURE() << "only " << seen << " of " << total << " bytes arrived";
        break;
      }
      seen += record->size();
      records.push_back(*record);
    }
    return records;
  }

  test::IsolatedEnvironment env_;
  sim::PtyLink link_;
  QueueTarget target_;
  SerialPort port_;
};

// The same with the port open as the updater opens it.
class OpenSerialPortTest : public SerialPortTest {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  }
};

// One burst is one record, announced once and no earlier than the quiet gap;
// bursts 150 ms apart are two (an attempt a stall merged is repeated). A slow
// talker staying one record is the 110-baud download's case.
TEST_F(OpenSerialPortTest, RecordsEndAtTheQuietGap) {
  const auto before = Clock::now();
  DeviceWrites(Bytes("0123456789"));
  EXPECT_GE(ExpectRecordPost().at - before, kQuietGap);
  EXPECT_EQ(ReceiveRecord(port_), Bytes("0123456789"));
  EXPECT_FALSE(ReceiveRecord(port_).has_value());
  EXPECT_FALSE(target_.Next(0ms)) << "one notification per record";
  std::vector<Bytes8> records;
  for (int attempt = 0; attempt < 3 && records.size() != 2; ++attempt) {
    const auto start = Clock::now();
    DeviceWrites(Bytes("a"));
    std::this_thread::sleep_until(start + 150ms);
    DeviceWrites(Bytes("b"));
    records = CollectRecords(2);
  }
  EXPECT_EQ(records, (std::vector<Bytes8>{Bytes("a"), Bytes("b")}));
}

// A record says whether it began before a send and whether the silence
// ended it: bytes already arriving when a command goes out, and a burst
// longer than a record, can never pass for an answer.
TEST_F(OpenSerialPortTest, RecordsTellWhenTheyBeganAndWhetherTheyAreWhole) {
  const auto receive = [this] {
    ExpectRecordPost();
    Bytes8 buffer(1024);
    std::uint32_t size = 1024;
    RecordOrigin origin;
    EXPECT_TRUE(port_.Receive(buffer.data(), size, &origin));
    return origin;
  };
  DeviceWrites(Bytes("early"));
  const auto deadline = Clock::now() + kCap;  // the burst has begun: its bytes arrived
  while (port_.LastReceived().time_since_epoch().count() == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(port_.Send("cmd", 3));  // within the burst's quiet gap
  RecordOrigin origin = receive();
  EXPECT_LT(origin.sendsBefore, port_.SendCount());
  EXPECT_EQ(ReadFromLink(link_, 3), Bytes("cmd"));
  DeviceWrites(Bytes("answer"));
  origin = receive();
  EXPECT_TRUE(origin.whole && origin.sendsBefore == port_.SendCount());
  DeviceWrites(Bytes8(1500, 0x50));
  EXPECT_FALSE(receive().whole) << "cut at the record's size";
}

// Input from before Open, a record never received and a send queued while
// closed are all gone after the next Open.
TEST_F(OpenSerialPortTest, OpenStartsWithEmptyLineAndChannels) {
  DeviceWrites(Bytes("unread"));
  ExpectRecordPost();
  ASSERT_TRUE(port_.Close());
  ASSERT_TRUE(port_.Send("old", 3));
  DeviceWrites(Bytes("stale"));
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  EXPECT_FALSE(ReceiveRecord(port_).has_value());
  DeviceSendsRecord(Bytes("fresh"));
  ASSERT_TRUE(port_.Send("new", 3));
  EXPECT_EQ(ReadFromLink(link_, 3), Bytes("new"));
}

// A port with its own channels beside one on the process-wide pair.
TEST_F(OpenSerialPortTest, TwoPortsAtOnceNeverMixTheirRecords) {
  sim::PtyLink linkB;
  std::string error;
  ASSERT_TRUE(linkB.Open(kPortNumber + 1, env_.portsDir(), &error)) << error;
  BufferChannel rxB;
  BufferChannel txB;
  QueueTarget targetB;
  SerialPort portB(rxB, txB);
  ASSERT_TRUE(OpenLikeUpdater(portB, &targetB, kPortNumber + 1));
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
TEST_F(OpenSerialPortTest, CloseAbandonsAStuckWritePromptly) {
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

TEST_F(OpenSerialPortTest, HungUpLineDoesNotSpinAndClosesPromptly) {
  link_.Close();
  ASSERT_TRUE(port_.Send("lost", 4));
  const std::clock_t cpuBefore = std::clock();
  std::this_thread::sleep_for(500ms);  // the window being measured
  EXPECT_LT(std::clock() - cpuBefore, CLOCKS_PER_SEC / 8) << "workers spin";
  const auto before = Clock::now();
  EXPECT_TRUE(port_.Close());
  EXPECT_LT(Clock::now() - before, 2s);
}

// Each cycle's workers run (a burst arrives) and each Close leaves no
// descriptor or thread behind; a second Open while open keeps the first
// target and rate, and a second port object cannot take a held port.
TEST_F(SerialPortTest, OpenCloseCyclesLeaveNothingBehind) {
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
    EXPECT_EQ(Held(), held);
  }
}

TEST_F(SerialPortTest, FailedOpenLeavesThePortClosedAndNothingHeld) {
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
  const std::string slave = link_.slave_path();
  using Case = std::tuple<std::string, std::uint32_t, int, std::string>;  // name, rate, errno, line
  std::vector<Case> cases = {
      {"COM9", 9600, ENOENT, "COM9 (/dev/tevra-no-such-device): no such device"},
      {"COM3", 0, EINVAL, "COM3 (" + slave + "): a rate of 0 baud would hang the line up"},
      {slave, 0, EINVAL, slave + ": a rate of 0 baud would hang the line up"}};
  for (const char* bad : {"COM0", "COM03", "com3", "COM3x", "COM99999999999", "\x1b[2J"}) {
    cases.emplace_back(bad, 9600, ENOENT, Printable(bad) + ": not a port name");
  }
  for (const auto& [name, baud, error, line] : cases) {
    SCOPED_TRACE(name);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(port_.Open(&target_, WM_SERIAL_NOTIFY, name, baud, 8, Parity::kEven, 1));
    EXPECT_EQ(errno, error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tevra-updater: " + line + "\n");
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_EQ(Held(), held);
  }
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  DeviceSendsRecord(Bytes("ok"));
}

// A pseudo-terminal drops parity: the settings asked of the driver are
// checked. Stop-bit codes other than 1 and 2 mean one and a half: two.
TEST_F(SerialPortTest, OpenAsksTheDriverForExactlyTheFormat) {
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
