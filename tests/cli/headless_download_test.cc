// tevra-updater --download as scripts run it, bundled with a payload, against
// simulated devices on COM3, COM4, ...; standard output is a pipe.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bundler/bundle.h"
#include "sim/dongle_simulator.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kRunCap = std::chrono::milliseconds(60s);
constexpr char kDone[] = "done: 1000 bytes in ";

using Options = sim::DongleOptions;
struct Device {
  std::string closing;  // its port's closing line; kDone: it holds the payload
  int Options::*fault = &Options::ignoreErase;  // set to `value`; by default no fault
  int value = 0;
};

struct Case {
  const char* name;
  int exitStatus;  // 128 + n: signal n once the first device has two blocks
  std::vector<Device> devices;
  const char* output = "";             // somewhere in stdout or stderr
  std::vector<std::string> args = {};  // after --download and the devices' ports
  bool bundled = true;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

std::string Mapped(pid_t pid) {
  const Bytes maps = ReadFile("/proc/" + std::to_string(pid) + "/maps");
  return {maps.begin(), maps.end()};
}

class HeadlessDownloadTest : public ::testing::TestWithParam<Case> {};

TEST_P(HeadlessDownloadTest, Runs) {
  const Case& c = GetParam();
  const IsolatedEnvironment env;
  const Bytes payload = RandomBytes(1000, 7);  // seven full blocks and a short one
  WriteFile(env.WorkFile("payload"), payload);
  std::string error;
  ASSERT_TRUE(PackBundle(TEVRA_UPDATER, env.WorkFile("payload"), env.WorkFile("updater"), error))
      << error;

  std::vector<std::unique_ptr<sim::DongleSimulator>> devices;
  std::vector<std::string> args = {"--download"};
  for (const Device& d : c.devices) {
    Options options;
    options.*d.fault = d.value;
    options.port = 3 + static_cast<int>(devices.size());
    options.portsDir = env.portsDir();
    devices.push_back(std::make_unique<sim::DongleSimulator>(options));
    ASSERT_TRUE(devices.back()->Start(&error)) << error;
    args.insert(args.end(), {"--port", "COM" + std::to_string(options.port)});
  }
  args.insert(args.end(), c.args.begin(), c.args.end());

  ChildProcess updater(c.bundled ? env.WorkFile("updater") : TEVRA_UPDATER, args);
  if (!c.devices.empty()) {
    EXPECT_NE(updater.NextLine(10s), "");
    EXPECT_EQ(Mapped(updater.pid()).find("libQt"), std::string::npos) << "headless loads Qt";
  }
  if (c.exitStatus > 128) {
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
    devices[i]->Stop();
    const sim::DongleStats stats = devices[i]->Stats();
    EXPECT_EQ(stats.image == payload, c.devices[i].closing == kDone) << port;
    EXPECT_EQ(stats.unknownBytes, 0U) << port << " got bytes that are no command";
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
  return {
      {"ThreePortsInParallel", 0, succeeding, "COM4: no answer to the erase; erasing again"},
      {"FailedPortsLeaveTheOthersGoing", 5, {good, silent, unplugged}, "", {"--timeout", "1"}},
      {"PortThatDoesNotExist",
       4,
       {},
       "/nonexistent/ttyUSB9: failed: the port did not open: no such device",
       {"--port", "/nonexistent/ttyUSB9"}},
      {"NoPayload", 3, {}, "COM3: failed: no payload to send", {}, false},
      {"BadOption", 2, {}, "unknown option \"--bogus\"\n\nusage: tevra-updater", {"--bogus"}},
      {"RateNotInTheList", 2, {}, "--baud wants one of 110, 300", {"--baud", "1234"}},
      {"Interrupted", 130, {interrupted, interrupted}},
      {"TerminalClosed", 129, {interrupted}},
      {"Quit", 131, {interrupted}},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, HeadlessDownloadTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
}  // namespace tevra::test
