#include "platform/comm_device.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "platform/event.h"
#include "platform/unique_fd.h"
#include "platform/wait.h"
#include "sim/pty_link.h"
#include "tests/support/bytes.h"
#include "tests/support/isolated_environment.h"

namespace tevra {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kGenerous{5000};
constexpr milliseconds kQuietLook{200};

// `stop` is set after a cap, so a broken device fails the test instead of
// hanging it; the future's destructor joins.
template <typename Status>
struct BackgroundCall {
  explicit BackgroundCall(const std::function<Status(Event& stop)>& call)
      : result(std::async(std::launch::async, [this, call] { return call(stop); })) {}
  ~BackgroundCall() { stop.Set(); }
  bool ReturnsWithin(milliseconds cap) { return result.wait_for(cap) == std::future_status::ready; }
  Status Join() {
    if (!ReturnsWithin(kGenerous)) {
      stop.Set();
    }
    return result.get();
  }
  Event stop;
  std::future<Status> result;  // last: it uses `stop`
};

class CommDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(pty_.Open(3, env_.portsDir(), &error)) << error;
  }

  bool OpenPort() {
    return dev_.Open(pty_.slave_path().c_str(), "COM3") && dev_.SetCommMask(EV_RXCHAR | EV_ERR) &&
           dev_.SetCommState(CommState{9600, 8, Parity::kEven, StopBits::kOne});
  }
  CommWaitStatus Wait(std::uint32_t& mask) {
    if (std::chrono::steady_clock::now() > giveUp_) {
      ADD_FAILURE() << "still waiting for events at the deadline";
      return CommWaitStatus::kFailed;
    }
    BackgroundCall<CommWaitStatus> wait(
        [&](Event& stop) { return dev_.WaitCommEvent(stop, mask); });
    return wait.Join();
  }
  std::uint32_t Queued() {
    std::uint32_t inQueue = 0;
    EXPECT_TRUE(dev_.ClearCommError(nullptr, &inQueue));
    return inQueue;
  }
  test::Bytes Collect(std::size_t want) {
    test::Bytes got;
    while (got.size() < want) {
      std::uint32_t mask = 0;
      if (Queued() == 0 && Wait(mask) != CommWaitStatus::kEvent) {
        ADD_FAILURE() << "wait failed with " << got.size() << " of " << want << " bytes";
        break;
      }
      test::Bytes chunk(Queued());
      std::uint32_t read = 0;
      EXPECT_TRUE(dev_.ReadFile(chunk.data(), static_cast<std::uint32_t>(chunk.size()), read));
      got.insert(got.end(), chunk.begin(), chunk.begin() + read);
    }
    return got;
  }
  test::Bytes Received(std::size_t atLeast) {
    test::Bytes got(std::size_t{512} * 1024);
    std::size_t n = 0;
    for (long r = 1; r > 0; n += r > 0 ? static_cast<std::size_t>(r) : 0) {
      r = pty_.ReadSome(got.data() + n, got.size() - n, n < atLeast ? kGenerous : kQuietLook);
    }
    got.resize(n);
    return got;
  }

  test::IsolatedEnvironment env_;
  sim::PtyLink pty_;
  CommDevice dev_;
  Event never_;
  const std::chrono::steady_clock::time_point giveUp_ =
      std::chrono::steady_clock::now() + kGenerous * 6;
};

// Cases are path, label, errno, line; paths and labels are printed escaped.
TEST_F(CommDeviceTest, OpenFailuresNameTheirCauseInOneLine) {
  const std::string gone = env_.portsDir() + "/gone\x1b[2J";
  const std::string plain = env_.portsDir() + "/plain-file";
  test::WriteFile(plain, {});
  const std::tuple<const char*, int, std::string> cases[] = {
      {gone.c_str(), ENOENT, "no such device"},
      {plain.c_str(), ENOTTY, "not a serial device"},
      {"dev/ttyS0", ENOENT, "not an absolute device path"},
      {nullptr, ENOENT, "not an absolute device path"}};
  for (const auto& [path, error, cause] : cases) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(dev_.Open(path)) << cause;
    EXPECT_EQ(errno, error) << cause;
    EXPECT_EQ(dev_.LastError().error, error) << cause;
    EXPECT_EQ(dev_.LastError().cause, cause);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the caller says it";
  }
  EXPECT_TRUE(dev_.Open(pty_.slave_path().c_str())) << "a failed open leaves the object usable";
  EXPECT_FALSE(dev_.Open(pty_.slave_path().c_str())) << "opening an open object";
}

// The lock must hold against a second object and another process (also as root).
TEST_F(CommDeviceTest, PortIsExclusiveUntilClosed) {
  const char* const path = pty_.slave_path().c_str();
  ASSERT_TRUE(dev_.Open(path));
  CommDevice second;
  EXPECT_FALSE(second.Open(path));
  EXPECT_EQ(errno, EWOULDBLOCK);
  EXPECT_EQ(second.LastError().cause, "busy: another program holds it (flock)");
  auto childOpens = [path] {
    const pid_t pid = fork();
    if (pid == 0) {
      CommDevice theirs;
      testing::internal::CaptureStderr();
      const bool opened = theirs.Open(path);
      _exit(opened ? 0 : (errno == EWOULDBLOCK ? 1 : 2));
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(childOpens(), 1);
  ASSERT_TRUE(dev_.Close());
  EXPECT_EQ(childOpens(), 0);
  EXPECT_TRUE(second.Open(path));
}

TEST_F(CommDeviceTest, RxCharOncePerArrival) {
  ASSERT_TRUE(OpenPort());
  for (const std::uint8_t burst : {std::uint8_t{0x55}, std::uint8_t{0xAA}}) {
    ASSERT_TRUE(pty_.WriteAll(&burst, 1, kGenerous));
    ASSERT_TRUE(pty_.WriteAll(&burst, 1, kGenerous));
    std::uint32_t mask = 0;
    ASSERT_EQ(Wait(mask), CommWaitStatus::kEvent);
    EXPECT_EQ(mask, EV_RXCHAR);
  }
  std::uint32_t mask = 0;
  BackgroundCall<CommWaitStatus> next([&](Event& stop) { return dev_.WaitCommEvent(stop, mask); });
  EXPECT_FALSE(next.ReturnsWithin(kQuietLook)) << "reported bytes already reported";
  const std::uint8_t more = 4;
  ASSERT_TRUE(pty_.WriteAll(&more, 1, kGenerous));
  EXPECT_EQ(next.Join(), CommWaitStatus::kEvent);
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_EQ(Collect(5), (test::Bytes{0x55, 0x55, 0xAA, 0xAA, 4}));
}

// A fresh adapter's line is cooked.
std::vector<unsigned> LineOf(const std::string& slavePath, bool cook) {
  const UniqueFd fd(open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  termios t{};
  EXPECT_EQ(tcgetattr(fd.get(), &t), 0);
  if (cook) {
    t.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP | INPCK | PARMRK;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    EXPECT_EQ(tcsetattr(fd.get(), TCSANOW, &t), 0);
  }
  std::vector<unsigned> line{t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag};
  line.insert(line.end(), std::begin(t.c_cc), std::end(t.c_cc));
  return line;
}

TEST_F(CommDeviceTest, EveryByteValueCrossesUnchangedBothWaysOnACookedLine) {
  test::Bytes all(1024);
  std::iota(all.begin(), all.end(), std::uint8_t{0});  // every value four times
  const std::vector<unsigned> cooked = LineOf(pty_.slave_path(), true);
  ASSERT_TRUE(OpenPort());
  ASSERT_TRUE(pty_.WriteAll(all.data(), all.size(), kGenerous));
  EXPECT_EQ(Collect(all.size()), all);
  ASSERT_EQ(dev_.WriteFile(never_, all.data(), static_cast<std::uint32_t>(all.size())),
            WriteStatus::kCompleted);
  EXPECT_EQ(Received(all.size()), all) << "nothing lost, changed or echoed";
  ASSERT_TRUE(dev_.Close());
  EXPECT_EQ(LineOf(pty_.slave_path(), false), cooked) << "close puts back the line it found";
}

// A waiter lets EV_ERR win over EV_RXCHAR; bytes that came with it must still be announced.
TEST_F(CommDeviceTest, BytesArrivingWithAnOverflowAreStillAnnounced) {
  ASSERT_TRUE(OpenPort());
  const std::uint32_t target = CommDevice::kInputQueueCapacity - 10;
  const test::Bytes fill(4096, 0x11);
  for (std::uint32_t queued = 0; queued < target;) {
    const std::size_t n = std::min<std::size_t>(fill.size(), target - queued);
    ASSERT_TRUE(pty_.WriteAll(fill.data(), n, kGenerous));
    for (const std::size_t want = queued + n; queued < want; queued = Queued()) {
      std::uint32_t mask = 0;
      ASSERT_EQ(Wait(mask), CommWaitStatus::kEvent);
    }
  }
  const test::Bytes tail(100, 0x22);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(pty_.WriteAll(tail.data(), tail.size(), kGenerous));
  bool sawErr = false;
  for (bool sawRxCharAfterErr = false; !sawRxCharAfterErr;) {
    std::uint32_t mask = 0;
    ASSERT_EQ(Wait(mask), CommWaitStatus::kEvent);
    ASSERT_NE(mask, EV_ERR | EV_RXCHAR) << "one mask must not carry both";
    sawRxCharAfterErr = sawErr && (mask & EV_RXCHAR) != 0;
    sawErr = sawErr || (mask & EV_ERR) != 0;
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(" bytes dropped (input queue full)\n"), std::string::npos) << err;
  std::uint32_t errors = 0;
  ASSERT_TRUE(dev_.ClearCommError(&errors, nullptr));
  EXPECT_EQ(errors & CE_RXOVER, CE_RXOVER);
  test::Bytes expected(target, 0x11);
  expected.insert(expected.end(), 10, 0x22);
  EXPECT_EQ(Collect(CommDevice::kInputQueueCapacity), expected);
}

TEST_F(CommDeviceTest, HangUpGivesErrOnceThenFailsAtOnceWithoutSpinning) {
  for (const bool writeFirst : {false, true}) {
    SCOPED_TRACE(writeFirst ? "noticed by a write" : "noticed by the wait");
    ASSERT_TRUE(OpenPort());
    std::vector<std::uint32_t> masks;
    testing::internal::CaptureStderr();
    const std::uint8_t byte = 1;
    if (writeFirst) {
      pty_.Close();
      EXPECT_EQ(dev_.WriteFile(never_, &byte, 1), WriteStatus::kFailed);
    }
    BackgroundCall<CommWaitStatus> waits([&](Event& waitStop) {
      CommWaitStatus last = CommWaitStatus::kEvent;
      for (std::uint32_t mask = 0; last == CommWaitStatus::kEvent && masks.size() < 1000;
           masks.push_back(mask)) {
        last = dev_.WaitCommEvent(waitStop, mask);
      }
      return last;
    });
    pty_.Close();
    EXPECT_EQ(waits.Join(), CommWaitStatus::kFailed);
    ASSERT_EQ(masks.size(), 2U) << "one EV_ERR for the hang-up, then the failure";
    EXPECT_EQ(masks[0] & EV_ERR, EV_ERR);
    std::uint32_t mask = 0;
    EXPECT_EQ(dev_.WaitCommEvent(never_, mask), CommWaitStatus::kFailed);
    EXPECT_EQ(dev_.WriteFile(never_, &byte, 1), WriteStatus::kFailed);
    EXPECT_TRUE(dev_.TakeGoneNotice()) << "one caller says the device is gone";
    EXPECT_FALSE(dev_.TakeGoneNotice());
    EXPECT_TRUE(dev_.Close());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::string error;
    ASSERT_TRUE(pty_.Open(3, env_.portsDir(), &error)) << error;
  }
}

// A stop flushes the queued rest instead of leaving it to trickle out before the next record.
TEST_F(CommDeviceTest, PendingWriteEndsByStopOrHangUp) {
  const test::Bytes big(std::size_t{256} * 1024, 0x5A);
  for (const bool hangUp : {false, true}) {
    SCOPED_TRACE(hangUp ? "hang-up" : "stop");
    ASSERT_TRUE(OpenPort());
    BackgroundCall<WriteStatus> write([&](Event& stop) {
      return dev_.WriteFile(stop, big.data(), static_cast<std::uint32_t>(big.size()));
    });
    EXPECT_FALSE(write.ReturnsWithin(kQuietLook)) << "nobody reads, the write cannot be done";
    if (hangUp) {
      pty_.Close();
      EXPECT_TRUE(write.ReturnsWithin(kGenerous)) << "a write stuck after the hang-up";
      EXPECT_EQ(write.Join(), WriteStatus::kFailed);
      break;
    }
    write.stop.Set();
    EXPECT_TRUE(write.ReturnsWithin(kGenerous));
    EXPECT_EQ(write.Join(), WriteStatus::kAbandoned);
    EXPECT_LE(Received(0).size(), 4096U);
    ASSERT_TRUE(dev_.Close());
  }
}

}  // namespace
}  // namespace tevra
