// tevra-updater --download as scripts run it, bundled with a payload, against
// simulated devices on COM3, COM4, ...; standard output is a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bundler/bundle.h"
#include "platform/unique_fd.h"
#include "sim/dongle_simulator.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kRunCap = std::chrono::milliseconds(90s);
constexpr char kDone[] = "done: ";
// The line rate the devices' lines are left at before each run.
constexpr speed_t kFoundRate = B1200;

using Options = sim::DongleOptions;
struct Device {
  std::string closing;  // its port's closing line; kDone: it holds the payload
  int Options::*fault = &Options::ignoreErase;  // set to `value`; by default no fault
  int value = 0;
  std::uint32_t pacedBaud = 0;  // answers paced at this rate
  bool flood = false;           // streams answer patterns, parsing nothing
};

// What the updater carries: a payload, nothing, or a trailer that says 0 bytes.
enum class Carries { kPayload, kNothing, kEmptyTrailer };

struct Case {
  const char* name;
  int exitStatus;  // 128 + n: signal n once the first device has two blocks
  std::vector<Device> devices;
  const char* output = "";             // somewhere in stdout or stderr
  std::vector<std::string> args = {};  // after --download and the devices' ports
  Carries carries = Carries::kPayload;
  std::size_t payloadSize = 1000;  // seven full blocks and a short one
  int stopBeforeOpening = 0;       // a signal already waiting when the updater starts
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

std::string Mapped(pid_t pid) {
  const Bytes maps = ReadFile("/proc/" + std::to_string(pid) + "/maps");
  return {maps.begin(), maps.end()};
}

class HeadlessDownloadTest : public ::testing::TestWithParam<Case> {};

speed_t LineRate(const std::string& path, std::optional<speed_t> set = std::nullopt) {
  const UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  termios line{};
  EXPECT_EQ(tcgetattr(fd.get(), &line), 0) << path;
  if (set) {
    cfsetspeed(&line, *set);
    EXPECT_EQ(tcsetattr(fd.get(), TCSANOW, &line), 0);
  }
  return cfgetospeed(&line);
}

TEST_P(HeadlessDownloadTest, Runs) {
  const Case& c = GetParam();
  const IsolatedEnvironment env;
  const Bytes payload = RandomBytes(c.payloadSize, 7);
  WriteFile(env.WorkFile("payload"), payload);
  std::string error;
  ASSERT_TRUE(PackBundle(TEVRA_UPDATER, env.WorkFile("payload"), env.WorkFile("updater"), error))
      << error;
  if (c.carries == Carries::kEmptyTrailer) {
    WriteFile(env.WorkFile("updater"),
              Concat(ReadFile(TEVRA_UPDATER), {0, 0, 0, 0, 0x55, 0x81, 0x18, 0x55}));
    chmod(env.WorkFile("updater").c_str(), 0700);
  }

  std::vector<std::unique_ptr<sim::DongleSimulator>> devices;
  std::vector<std::string> args = {"--download"};
  for (const Device& d : c.devices) {
    Options options;
    options.*d.fault = d.value;
    options.port = 3 + static_cast<int>(devices.size());
    options.portsDir = env.portsDir();
    options.flood = d.flood;
    options.pace = d.pacedBaud != 0;
    options.baud = options.pace ? d.pacedBaud : options.baud;
    devices.push_back(std::make_unique<sim::DongleSimulator>(options));
    ASSERT_TRUE(devices.back()->Start(&error)) << error;
    const std::string port = "COM" + std::to_string(options.port);
    LineRate(env.portsDir() + "/" + port, kFoundRate);
    args.insert(args.end(), {"--port", port});
  }
  args.insert(args.end(), c.args.begin(), c.args.end());

  // Blocked, and sent by a shell to itself before it becomes the updater:
  // the signal waits in the updater from its first instruction.
  std::string program = c.carries != Carries::kNothing ? env.WorkFile("updater") : TEVRA_UPDATER;
  if (c.stopBeforeOpening != 0) {
    args.insert(args.begin(),
                {"-c", "kill -" + std::to_string(c.stopBeforeOpening) + " $$ && exec \"$0\" \"$@\"",
                 program});
    program = "/bin/sh";
  }
  sigset_t stop, previous;
  sigemptyset(&stop);
  if (c.stopBeforeOpening != 0) {
    sigaddset(&stop, c.stopBeforeOpening);
  }
  pthread_sigmask(SIG_BLOCK, &stop, &previous);
  ChildProcess updater(program, args);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!c.devices.empty() && c.stopBeforeOpening == 0) {
    EXPECT_NE(updater.NextLine(10s), "");
    EXPECT_EQ(Mapped(updater.pid()).find("libQt"), std::string::npos) << "headless loads Qt";
  }
  if (c.exitStatus > 128 && c.stopBeforeOpening == 0) {
    ASSERT_TRUE(
        devices[0]->WaitUntil([](const sim::DongleStats& s) { return s.blocks >= 2; }, 10s));
    updater.Signal(c.exitStatus - 128);
  }
  EXPECT_EQ(updater.Finish(kRunCap), c.exitStatus) << updater.Stdout() << updater.Stderr();

  const std::string& out = updater.Stdout();
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << "escape codes in a pipe: " << out;
  EXPECT_NE((out + updater.Stderr()).find(c.output), std::string::npos) << out << updater.Stderr();
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const std::string port = "COM" + std::to_string(3 + i);
    EXPECT_NE(out.find(port + ": " + c.devices[i].closing), std::string::npos) << out;
    if (!devices[i]->Stats().hungUp) {
      EXPECT_EQ(LineRate(env.portsDir() + "/" + port), kFoundRate) << port << " not put back";
    }
    devices[i]->Stop();
    const sim::DongleStats stats = devices[i]->Stats();
    EXPECT_EQ(stats.image == payload, c.devices[i].closing == kDone) << port;
    if (!c.devices[i].flood) {
      EXPECT_EQ(stats.unknownBytes, 0U) << port << " got bytes that are no command";
    }
    if (c.carries == Carries::kEmptyTrailer || c.stopBeforeOpening != 0) {
      EXPECT_EQ(stats.erases, 0) << port << " was erased";
    }
  }
}

// With Qt's options only, the window opens: the embedded module loads and
// brings Qt, which takes them (no platform but the one given would start).
TEST(WindowPathTest, LoadsTheEmbeddedWindowModule) {
  const IsolatedEnvironment env;
  SetEnv("QT_QPA_PLATFORM", "");
  SetEnv("DISPLAY", "");
  ChildProcess updater(TEVRA_UPDATER, {"--platform", "offscreen", "-style", "Fusion"});
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::string mapped;
  while (mapped.find("libQt6Widgets") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline && updater.NextLine(100ms).empty()) {
    mapped = Mapped(updater.pid());
  }
  EXPECT_NE(mapped.find("libQt6Widgets"), std::string::npos) << updater.Stderr();
  updater.Signal(SIGTERM);
  EXPECT_EQ(updater.Finish(kRunCap), 128 + SIGTERM) << updater.Stderr();
}

std::vector<Case> Cases() {
  const Device good{kDone};
  const Device interrupted{"interrupted at block"};
  const Device silent{"failed: the device gave no answer for 1 s at block 4 of 8",
                      &Options::stopAfterBlock, 3};
  const Device unplugged{"failed: the device was disconnected at block 4 of 8",
                         &Options::hangupAfterBlock, 3};
  // A hang-up right after the last answer still counts as success.
  const std::vector<Device> succeeding{
      good, {kDone, &Options::ignoreErase, 1}, {kDone, &Options::hangupAfterBlock, 8}};
  // 110 baud: a block's round trip alone is longer than the default timeout.
  const Device paced110{kDone, &Options::ignoreErase, 0, 110};
  const Device paced115200{kDone, &Options::ignoreErase, 0, 115200};
  return {
      {"ThreePortsInParallel", 0, succeeding, "COM4: no answer to the erase; erasing again"},
      {"AnswersAt110BaudWithTheDefaultTimeout",
       0,
       {paced110},
       "",
       {"--baud", "110"},
       Carries::kPayload,
       100},
      {"EmptyTrailerIsNoPayload",
       3,
       {{"failed: no payload to send"}},
       "no payload",
       {},
       Carries::kEmptyTrailer},
      {"StopWhileOpeningReachesNoPort",
       143,
       {{"interrupted before"}, {"interrupted before"}},
       "",
       {},
       Carries::kPayload,
       1000,
       SIGTERM},
      // Answer patterns streamed without a pause are no answers.
      {"FloodIsNoAnswer",
       5,
       {{"failed: the device gave no answer for 1 s while erasing", &Options::ignoreErase, 0, 0,
         true}},
       "",
       {"--timeout", "1"}},
      {"FailedPortsLeaveTheOthersGoing", 5, {good, silent, unplugged}, "", {"--timeout", "1"}},
      {"PortThatDoesNotExist",
       4,
       {},
       "/nonexistent/ttyUSB9: failed: the port did not open: no such device",
       {"--port", "/nonexistent/ttyUSB9"}},
      {"NoPayload", 3, {}, "COM3: failed: no payload to send", {}, Carries::kNothing},
      {"BadOption", 2, {}, "unknown option \"--bogus\"\n\nusage: tevra-updater", {"--bogus"}},
      {"RateNotInTheList", 2, {}, "--baud wants one of 110, 300", {"--baud", "1234"}},
      {"QuietGapBelowTheRatesMinimum",
       2,
       {},
       "--quiet-gap at 9600 baud wants at least 3 ms (two and a half characters' time), not 2\n\n"
       "usage: tevra-updater",
       {"--quiet-gap", "2"}},
      // Half the default, not 5 ms: on a busy machine the simulator and the
      // updater are preempted for 3 to 20 ms, holes a short gap takes for silence.
      {"ShortQuietGapAt115200", 0, {paced115200}, "", {"--quiet-gap", "50", "--baud", "115200"}},
      // A device that pauses inside its answers: cut answers are no answers.
      {"AnswersCutByTheQuietGapAreNone",
       5,
       {{"failed: the device gave no answer for 1 s", &Options::answerPauseMs, 30}},
       "",
       {"--quiet-gap", "5", "--timeout", "1"}},
      {"PausesShorterThanTheQuietGap", 0, {{kDone, &Options::answerPauseMs, 30}}},
      // The framing's wait is the updater's own: it never counts against the device.
      {"QuietGapLongerThanTheTimeout",
       0,
       {good},
       "",
       {"--quiet-gap", "1500", "--timeout", "1"},
       Carries::kPayload,
       100},
      {"Interrupted", 130, {interrupted, interrupted}},
      {"TerminalClosed", 129, {interrupted}},
      {"Quit", 131, {interrupted}},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, HeadlessDownloadTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
}  // namespace tevra::test
