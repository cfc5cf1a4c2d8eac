#include "platform/comm_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/event.h"
#include "platform/wait.h"
#include "sim/pty_link.h"
#include "tests/support/isolated_environment.h"

namespace tevra {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kGenerous{5000};
// Only ever used to show that something did NOT happen; a slow machine makes
// such a check weaker, never wrong.
constexpr milliseconds kQuietLook{200};
constexpr int kPort = 3;

std::vector<std::uint8_t> EveryByteValue(std::size_t repeats) {
  std::vector<std::uint8_t> v;
  for (std::size_t r = 0; r < repeats; ++r) {
    for (int b = 0; b < 256; ++b) {
      v.push_back(static_cast<std::uint8_t>(b));
    }
  }
  return v;
}

// Sets `stop` if the test is still waiting after a generous cap, so a
// broken device fails the test instead of hanging it.
class Watchdog {
 public:
  Watchdog()
      : thread_([this] {
          if (WaitAny({&cancel_}, kGenerous).status != WaitStatus::kSignalled) {
            stop.Set();
          }
        }) {}
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    cancel_.Set();
    thread_.join();
  }
  Event stop;

 private:
  Event cancel_;
  std::thread thread_;
};

// A blocking call on a thread of its own, so the test can watch it pend. It
// gets `stop` to end it early; going out of scope stops and joins it, so a
// failed assertion cannot leave it running.
template <typename Status>
class BackgroundCall {
 public:
  explicit BackgroundCall(std::function<Status(Event& stop)> call)
      : thread_([this, call = std::move(call)] {
          status_ = call(stop);
          returned.Set();
        }) {}
  BackgroundCall(const BackgroundCall&) = delete;
  BackgroundCall& operator=(const BackgroundCall&) = delete;
  ~BackgroundCall() {
    if (thread_.joinable()) {
      stop.Set();
      thread_.join();
    }
  }

  // Waits for the call to return and gives its result.
  Status Join() {
    thread_.join();
    return status_;
  }

  Event stop;
  Event returned;

 private:
  Status status_{};
  std::thread thread_;  // last: it uses the members above
};

// One WaitCommEvent, for a BackgroundCall.
std::function<CommWaitStatus(Event&)> WaitForAnEvent(CommDevice& dev) {
  return [&dev](Event& stop) {
    std::uint32_t mask = 0;
    return dev.WaitCommEvent(stop, mask);
  };
}

// A fresh ports directory per test, with COM3 linked to a pseudo-terminal.
class CommDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(pty_.Open(kPort, env_.portsDir(), &error)) << error;
  }
  void TearDown() override { pty_.Close(); }

  bool OpenPort(CommDevice& dev) {
    return dev.Open("COM3") && dev.SetCommMask(EV_RXCHAR | EV_ERR) &&
           dev.SetCommState(CommState{9600, 8, Parity::kEven, StopBits::kOne});
  }

  // Waits for events until `want` bytes are queued; returns what arrived.
  std::vector<std::uint8_t> Collect(CommDevice& dev, std::size_t want) {
    std::vector<std::uint8_t> got;
    Watchdog watchdog;
    while (got.size() < want) {
      std::uint32_t inQueue = 0;
      EXPECT_TRUE(dev.ClearCommError(nullptr, &inQueue));
      if (inQueue == 0) {
        std::uint32_t mask = 0;
        if (dev.WaitCommEvent(watchdog.stop, mask) != CommWaitStatus::kEvent) {
          ADD_FAILURE() << "wait failed with " << got.size() << " of " << want << " bytes";
          break;
        }
        continue;
      }
      std::vector<std::uint8_t> chunk(inQueue);
      std::uint32_t read = 0;
      EXPECT_TRUE(dev.ReadFile(chunk.data(), inQueue, read));
      EXPECT_EQ(read, inQueue);
      got.insert(got.end(), chunk.begin(), chunk.begin() + read);
    }
    return got;
  }

  test::IsolatedEnvironment env_;
  sim::PtyLink pty_;
};

// --- opening -------------------------------------------------------------

struct BadName {
  const char* name;
  const char* why;
};

TEST_F(CommDeviceTest, MalformedNamesAndComZeroOpenNothing) {
  const BadName cases[] = {
      {"COM0", "port 0 never opens"},
      {"COMx", "not a number"},
      {"COM", "no number"},
      {"COM03", "leading zero"},
      {"COM-3", "sign"},
      {"COM+3", "sign"},
      {"com3", "lower case"},
      {" COM3", "space"},
      {"COM3 ", "trailing space"},
      {"COM3x", "trailing junk"},
      {"COM99999999999", "overflow"},
      {"", "empty"},
  };
  for (const BadName& c : cases) {
    CommDevice dev;
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_FALSE(dev.Open(c.name)) << c.why;
    EXPECT_EQ(errno, ENOENT) << c.why;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("tevra-updater: ") + c.name + ": no such port\n") << c.why;
    EXPECT_FALSE(dev.IsOpen());
  }
  CommDevice dev;
  EXPECT_FALSE(dev.Open(nullptr));
}

TEST_F(CommDeviceTest, MissingDeviceAndNonTerminalFailWithTheirCause) {
  const std::string missing = env_.portsDir() + "/gone-adapter";
  ASSERT_EQ(symlink(missing.c_str(), (env_.portsDir() + "/COM4").c_str()), 0);
  const std::string plain = env_.portsDir() + "/plain-file";
  ASSERT_TRUE(std::ofstream(plain).good());
  ASSERT_EQ(symlink(plain.c_str(), (env_.portsDir() + "/COM5").c_str()), 0);

  CommDevice dev;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(dev.Open("COM4"));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tevra-updater: COM4 (" + missing + "): no such device\n");

  testing::internal::CaptureStderr();
  EXPECT_FALSE(dev.Open("COM5"));
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tevra-updater: COM5 (" + plain + "): not a serial device\n");
  EXPECT_FALSE(dev.IsOpen());

  // A failed open leaves the object usable.
  EXPECT_TRUE(dev.Open("COM3"));
}

TEST_F(CommDeviceTest, SecondObjectIsRefusedUntilTheFirstCloses) {
  CommDevice first;
  ASSERT_TRUE(first.Open("COM3"));
  CommDevice second;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(second.Open("COM3"));
  EXPECT_EQ(errno, EWOULDBLOCK);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("COM3 (" + pty_.slave_path() + "): busy"), std::string::npos) << err;
  EXPECT_NE(err.find("(flock)"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

  EXPECT_TRUE(first.Close());
  EXPECT_TRUE(second.Open("COM3"));
  // Opening an open object does not disturb it.
  EXPECT_FALSE(second.Open("COM3"));
  EXPECT_TRUE(second.IsOpen());
}

TEST_F(CommDeviceTest, AnotherProcessIsRefusedEvenAsRoot) {
  CommDevice mine;
  ASSERT_TRUE(mine.Open("COM3"));
  auto childOpens = [] {
    const pid_t pid = fork();
    if (pid == 0) {
      CommDevice theirs;
      testing::internal::CaptureStderr();
      const bool opened = theirs.Open("COM3");
      const int error = errno;
      _exit(opened ? 0 : (error == EWOULDBLOCK ? 1 : 2));
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(childOpens(), 1) << "the child should have found the port busy";
  ASSERT_TRUE(mine.Close());
  EXPECT_EQ(childOpens(), 0) << "the child should open a port nobody holds";
}

// --- line settings ---------------------------------------------------------

TEST_F(CommDeviceTest, EveryOfferedRateReadsBackExactly) {
  CommDevice dev;
  ASSERT_TRUE(dev.Open("COM3"));
  for (const std::uint32_t rate : {110U, 300U, 600U, 1200U, 2400U, 4800U, 9600U, 14400U, 19200U,
                                   38400U, 56000U, 57600U, 115200U, 128000U, 256000U}) {
    ASSERT_TRUE(dev.SetCommState(CommState{rate, 8, Parity::kEven, StopBits::kOne})) << rate;
    CommState back;
    ASSERT_TRUE(dev.GetCommState(back));
    EXPECT_EQ(back.BaudRate, rate);
    EXPECT_EQ(back.ByteSize, 8);
  }
}

TEST_F(CommDeviceTest, ImpossibleSettingsFailAndKeepTheLine) {
  CommDevice dev;
  ASSERT_TRUE(dev.Open("COM3"));
  ASSERT_TRUE(dev.SetCommState(CommState{19200, 8, Parity::kEven, StopBits::kOne}));
  const CommState bad[] = {
      {0, 8, Parity::kEven, StopBits::kOne},
      {19200, 4, Parity::kEven, StopBits::kOne},
      {19200, 9, Parity::kEven, StopBits::kOne},
      {19200, 8, static_cast<Parity>(5), StopBits::kOne},
      {19200, 8, Parity::kEven, static_cast<StopBits>(3)},
  };
  for (const CommState& s : bad) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(dev.SetCommState(s));
    EXPECT_EQ(errno, EINVAL);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("tevra-updater: COM3 (", 0), 0U) << err;
    CommState back;
    ASSERT_TRUE(dev.GetCommState(back));
    EXPECT_EQ(back.BaudRate, 19200U);
  }
}

// --- receiving ---------------------------------------------------------------

TEST_F(CommDeviceTest, RxCharOncePerArrivalNotForBytesLeftUnread) {
  CommDevice dev;
  ASSERT_TRUE(OpenPort(dev));
  Event stop;
  const std::uint8_t first[] = {1, 2, 3};
  ASSERT_TRUE(pty_.WriteAll(first, sizeof first, kGenerous));
  std::uint32_t mask = 0;
  ASSERT_EQ(dev.WaitCommEvent(stop, mask), CommWaitStatus::kEvent);
  EXPECT_EQ(mask, EV_RXCHAR);

  // The three bytes stay unread: the next wait must sleep until more come.
  std::uint32_t secondMask = 0;
  BackgroundCall<CommWaitStatus> second(
      [&](Event& secondStop) { return dev.WaitCommEvent(secondStop, secondMask); });
  EXPECT_EQ(WaitAny({&second.returned}, kQuietLook).status, WaitStatus::kTimedOut)
      << "reported bytes that were already reported";
  const std::uint8_t more = 4;
  ASSERT_TRUE(pty_.WriteAll(&more, 1, kGenerous));
  EXPECT_EQ(WaitAny({&second.returned}, kGenerous).status, WaitStatus::kSignalled);
  EXPECT_EQ(second.Join(), CommWaitStatus::kEvent);
  EXPECT_EQ(secondMask, EV_RXCHAR);

  std::uint8_t buf[16] = {};
  std::uint32_t inQueue = 0;
  std::uint32_t errors = 0;
  ASSERT_TRUE(dev.ClearCommError(&errors, &inQueue));
  EXPECT_EQ(errors, 0U);
  ASSERT_EQ(inQueue, 4U);
  std::uint32_t read = 0;
  ASSERT_TRUE(dev.ReadFile(buf, sizeof buf, read));
  ASSERT_EQ(read, 4U);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[3], 4);
  ASSERT_TRUE(dev.ReadFile(buf, sizeof buf, read));
  EXPECT_EQ(read, 0U) << "an empty queue reads nothing, at once";
}

TEST_F(CommDeviceTest, ArrivalWhileNoWaitRunsIsReportedByTheNextWaitOnce) {
  CommDevice dev;
  ASSERT_TRUE(OpenPort(dev));
  Watchdog watchdog;
  for (const std::uint8_t burst : {std::uint8_t{0x55}, std::uint8_t{0xAA}}) {
    // Two bursts before the wait starts: one arrival as far as it can tell.
    ASSERT_TRUE(pty_.WriteAll(&burst, 1, kGenerous));
    ASSERT_TRUE(pty_.WriteAll(&burst, 1, kGenerous));
    std::uint32_t mask = 0;
    ASSERT_EQ(dev.WaitCommEvent(watchdog.stop, mask), CommWaitStatus::kEvent);
    EXPECT_EQ(mask, EV_RXCHAR);
  }
  std::uint32_t inQueue = 0;
  ASSERT_TRUE(dev.ClearCommError(nullptr, &inQueue));
  EXPECT_EQ(inQueue, 4U);

  // Reported once: the next wait sleeps until its stop.
  BackgroundCall<CommWaitStatus> wait(WaitForAnEvent(dev));
  EXPECT_EQ(WaitAny({&wait.returned}, kQuietLook).status, WaitStatus::kTimedOut);
  ASSERT_TRUE(wait.stop.Set());
  EXPECT_EQ(wait.Join(), CommWaitStatus::kStopped);
}

// A line another program left cooked (as a fresh adapter is) would double
// 0xFF, swallow 0x11/0x13, turn 0x0D into 0x0A, strip bit 7 and echo.
void CookTheLine(const std::string& slavePath) {
  const int fd = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  t.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP | INPCK | PARMRK;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  ASSERT_EQ(close(fd), 0);
}

// The line's settings as any program on the device sees them.
std::vector<unsigned> LineOf(const std::string& slavePath) {
  const int fd = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  EXPECT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  std::vector<unsigned> line{t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag};
  line.insert(line.end(), std::begin(t.c_cc), std::end(t.c_cc));
  return line;
}

TEST_F(CommDeviceTest, EveryByteValueCrossesUnchangedBothWaysOnACookedLine) {
  const std::vector<std::uint8_t> all = EveryByteValue(4);
  // Open alone must make the line raw; SetCommState must keep it so.
  for (const bool applySettings : {false, true}) {
    SCOPED_TRACE(applySettings ? "with SetCommState" : "Open alone");
    ASSERT_NO_FATAL_FAILURE(CookTheLine(pty_.slave_path()));
    const std::vector<unsigned> cooked = LineOf(pty_.slave_path());
    CommDevice dev;
    ASSERT_TRUE(applySettings ? OpenPort(dev) : dev.Open("COM3") && dev.SetCommMask(EV_RXCHAR));

    ASSERT_TRUE(pty_.WriteAll(all.data(), all.size(), kGenerous));
    EXPECT_EQ(Collect(dev, all.size()), all);

    Event stop;
    ASSERT_EQ(dev.WriteFile(stop, all.data(), static_cast<std::uint32_t>(all.size())),
              WriteStatus::kCompleted);
    std::vector<std::uint8_t> out;
    while (out.size() < all.size()) {
      std::uint8_t buf[1024];
      const long n = pty_.ReadSome(buf, sizeof buf, kGenerous);
      ASSERT_GT(n, 0) << "after " << out.size() << " bytes";
      out.insert(out.end(), buf, buf + n);
    }
    EXPECT_EQ(out, all);
    // Nothing more (an echo, say) follows.
    std::uint8_t extra = 0;
    EXPECT_EQ(pty_.ReadSome(&extra, 1, milliseconds{50}), 0);
    std::uint32_t inQueue = 0;
    ASSERT_TRUE(dev.ClearCommError(nullptr, &inQueue));
    EXPECT_EQ(inQueue, 0U);
    // Closing leaves the line as it was found, for whoever uses it next.
    ASSERT_TRUE(dev.Close());
    EXPECT_EQ(LineOf(pty_.slave_path()), cooked);
  }
}

// A waiter lets EV_ERR win over EV_RXCHAR; bytes that came with the error
// must still be announced, or they sit unread until the next burst. The
// queue keeps the first bytes and drops the rest.
TEST_F(CommDeviceTest, BytesArrivingWithAnOverflowAreStillAnnounced) {
  CommDevice dev;
  ASSERT_TRUE(OpenPort(dev));
  Watchdog watchdog;
  std::vector<std::uint8_t> fill(4096, 0x11);
  std::uint32_t queued = 0;
  const std::uint32_t target = CommDevice::kInputQueueCapacity - 10;
  while (queued < target) {
    const std::size_t n = std::min<std::size_t>(fill.size(), target - queued);
    ASSERT_TRUE(pty_.WriteAll(fill.data(), n, kGenerous));
    while (queued < target) {
      std::uint32_t mask = 0;
      ASSERT_EQ(dev.WaitCommEvent(watchdog.stop, mask), CommWaitStatus::kEvent);
      ASSERT_TRUE(dev.ClearCommError(nullptr, &queued));
      if (queued % fill.size() == 0 || queued == target) {
        break;
      }
    }
  }
  std::vector<std::uint8_t> tail(100, 0x22);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(pty_.WriteAll(tail.data(), tail.size(), kGenerous));
  bool sawErr = false;
  bool sawRxCharAfterErr = false;
  while (!sawRxCharAfterErr) {
    std::uint32_t mask = 0;
    ASSERT_EQ(dev.WaitCommEvent(watchdog.stop, mask), CommWaitStatus::kEvent);
    ASSERT_NE(mask, EV_ERR | EV_RXCHAR) << "one mask must not carry both";
    sawRxCharAfterErr = sawErr && (mask & EV_RXCHAR) != 0;
    sawErr = sawErr || (mask & EV_ERR) != 0;
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("tevra-updater: COM3 (" + pty_.slave_path() + "): line errors: ", 0), 0U)
      << err;
  EXPECT_NE(err.find(" bytes dropped (input queue full)\n"), std::string::npos) << err;
  std::uint32_t errors = 0;
  ASSERT_TRUE(dev.ClearCommError(&errors, &queued));
  ASSERT_EQ(queued, CommDevice::kInputQueueCapacity);
  EXPECT_EQ(errors & CE_RXOVER, CE_RXOVER);
  std::vector<std::uint8_t> kept(queued);
  std::uint32_t read = 0;
  ASSERT_TRUE(dev.ReadFile(kept.data(), queued, read));
  ASSERT_EQ(read, queued);
  EXPECT_EQ(std::count(kept.begin(), kept.end(), 0x11), std::ptrdiff_t{target});
  EXPECT_EQ(std::count(kept.begin() + target, kept.end(), 0x22), 10) << "the tail's first bytes";
  ASSERT_TRUE(dev.ClearCommError(&errors, nullptr));
  EXPECT_EQ(errors, 0U) << "errors are cleared by reading them";
}

// --- hang-up -------------------------------------------------------------------

TEST_F(CommDeviceTest, HangUpGivesErrOnceThenFailsAtOnceWithoutSpinning) {
  CommDevice dev;
  ASSERT_TRUE(OpenPort(dev));
  Event stop;
  Event finished;
  std::atomic<int> wakeups{0};
  std::vector<std::uint32_t> masks;
  CommWaitStatus last = CommWaitStatus::kEvent;
  const std::string device = pty_.slave_path();
  testing::internal::CaptureStderr();
  std::thread waiter([&] {
    for (;;) {
      std::uint32_t mask = 0;
      last = dev.WaitCommEvent(stop, mask);
      ++wakeups;
      if (last != CommWaitStatus::kEvent || wakeups > 1000) {
        break;
      }
      masks.push_back(mask);
    }
    finished.Set();
  });
  pty_.Close();
  const bool ended = WaitAny({&finished}, kGenerous).status == WaitStatus::kSignalled;
  if (!ended) {
    stop.Set();  // a wait spinning or stuck inside: free it to report
  }
  waiter.join();
  ASSERT_TRUE(ended) << "the wait never noticed the hang-up";
  EXPECT_EQ(last, CommWaitStatus::kFailed);
  ASSERT_EQ(masks.size(), 1U) << "one EV_ERR for the hang-up, nothing else";
  EXPECT_EQ(masks[0] & EV_ERR, EV_ERR);
  EXPECT_EQ(wakeups, 2);
  std::uint32_t errors = 0;
  ASSERT_TRUE(dev.ClearCommError(&errors, nullptr));
  EXPECT_EQ(errors & CE_IOE, CE_IOE);

  // Later waits and writes fail at once; they never block or report again.
  for (int i = 0; i < 100; ++i) {
    std::uint32_t mask = 0;
    ASSERT_EQ(dev.WaitCommEvent(stop, mask), CommWaitStatus::kFailed);
  }
  const std::uint8_t byte = 1;
  EXPECT_EQ(dev.WriteFile(stop, &byte, 1), WriteStatus::kFailed);
  EXPECT_TRUE(dev.Close());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tevra-updater: COM3 (" + device + "): the device hung up or was unplugged\n")
      << "one line for the event, none for the retries";
}

TEST_F(CommDeviceTest, HangUpNoticedByWriteIsStillReportedByTheNextWait) {
  CommDevice dev;
  ASSERT_TRUE(OpenPort(dev));
  pty_.Close();
  Event stop;
  const std::uint8_t byte = 1;
  EXPECT_EQ(dev.WriteFile(stop, &byte, 1), WriteStatus::kFailed);
  std::uint32_t mask = 0;
  ASSERT_EQ(dev.WaitCommEvent(stop, mask), CommWaitStatus::kEvent);
  EXPECT_EQ(mask & EV_ERR, EV_ERR);
  EXPECT_EQ(dev.WaitCommEvent(stop, mask), CommWaitStatus::kFailed);
}

// --- writing ----------------------------------------------------------------------

// More than a pseudo-terminal buffers, so the write must wait for the reader.
constexpr std::size_t kMoreThanThePtyHolds = std::size_t{256} * 1024;
constexpr std::size_t kPtyReaderBuffer = 4096;

WriteStatus WriteBytes(CommDevice& dev, Event& stop, const std::vector<std::uint8_t>& bytes) {
  return dev.WriteFile(stop, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

TEST_F(CommDeviceTest, WriteGoesPendingAndTheStopAbandonsItPromptly) {
  CommDevice dev;
  ASSERT_TRUE(OpenPort(dev));
  const std::vector<std::uint8_t> big(kMoreThanThePtyHolds, 0x5A);
  BackgroundCall<WriteStatus> write([&](Event& stop) { return WriteBytes(dev, stop, big); });
  EXPECT_EQ(WaitAny({&write.returned}, kQuietLook).status, WaitStatus::kTimedOut)
      << "nobody reads, so the write cannot have finished";
  ASSERT_TRUE(write.stop.Set());
  EXPECT_EQ(WaitAny({&write.returned}, kGenerous).status, WaitStatus::kSignalled);
  EXPECT_EQ(write.Join(), WriteStatus::kAbandoned);
  // The queued rest is discarded, not left to trickle out later in front of
  // the next record. On a pseudo-terminal only what already sits in the
  // other side's 4 KiB line-discipline buffer survives the flush (without it,
  // about 14 KB would).
  std::vector<std::uint8_t> buf(big.size());
  std::size_t left = 0;
  for (long n = 1; n > 0;) {
    n = pty_.ReadSome(buf.data(), buf.size(), milliseconds{50});
    left += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  EXPECT_LE(left, kPtyReaderBuffer);
}

TEST_F(CommDeviceTest, PendingWriteFailsWhenTheLineHangsUp) {
  CommDevice dev;
  ASSERT_TRUE(OpenPort(dev));
  const std::vector<std::uint8_t> big(kMoreThanThePtyHolds, 0xA5);
  BackgroundCall<WriteStatus> write([&](Event& stop) { return WriteBytes(dev, stop, big); });
  EXPECT_EQ(WaitAny({&write.returned}, kQuietLook).status, WaitStatus::kTimedOut);
  pty_.Close();
  const bool ended = WaitAny({&write.returned}, kGenerous).status == WaitStatus::kSignalled;
  if (!ended) {
    write.stop.Set();  // let the thread go so the test can report instead of hang
  }
  const WriteStatus status = write.Join();
  EXPECT_TRUE(ended) << "a write stuck after the hang-up";
  EXPECT_EQ(status, WriteStatus::kFailed);
}

}  // namespace
}  // namespace tevra
