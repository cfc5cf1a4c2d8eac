// tevra-updater --download as scripts run it: the real program, bundled with
// a payload, against simulated devices on pseudo-terminals published as
// COM3, COM4, ...; standard output is a pipe, never a terminal.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
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

// Seven full blocks and a short one.
constexpr std::size_t kPayloadBytes = 1000;
constexpr auto kRunCap = std::chrono::milliseconds(60s);

struct Device {
  sim::DongleOptions faults;  // port and ports directory are filled in
  const char* closing;        // what its port's closing line says
  bool receivesPayload;       // the device ends up holding the payload, byte for byte
};

struct Case {
  const char* name;
  std::vector<Device> devices;
  std::vector<std::string> args;  // after --download and the devices' ports
  const char* output;             // somewhere in stdout or stderr
  int exitStatus;
  bool interrupt = false;  // SIGINT once the first device has two blocks
  bool bundled = true;
};

sim::DongleOptions Faults(int ignoreErase, int stopAfter, int hangupAfter) {
  sim::DongleOptions o;
  o.ignoreErase = ignoreErase;
  o.stopAfterBlock = stopAfter;
  o.hangupAfterBlock = hangupAfter;
  return o;
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

const sim::DongleOptions kGood;
constexpr char kDone[] = "done: 1000 bytes in ";

class HeadlessDownloadTest : public ::testing::TestWithParam<Case> {};

TEST_P(HeadlessDownloadTest, Runs) {
  const Case& c = GetParam();
  const IsolatedEnvironment env;
  const Bytes payload = RandomBytes(kPayloadBytes, 7);
  WriteFile(env.WorkFile("payload"), payload);
  std::string error;
  ASSERT_TRUE(PackBundle(TEVRA_UPDATER, env.WorkFile("payload"), env.WorkFile("updater"), error))
      << error;

  std::vector<std::unique_ptr<sim::DongleSimulator>> devices;
  std::vector<std::string> args = {"--download"};
  for (const Device& d : c.devices) {
    sim::DongleOptions options = d.faults;
    options.port = 3 + static_cast<int>(devices.size());
    options.portsDir = env.portsDir();
    devices.push_back(std::make_unique<sim::DongleSimulator>(options));
    ASSERT_TRUE(devices.back()->Start(&error)) << error;
    args.insert(args.end(), {"--port", "COM" + std::to_string(options.port)});
  }
  args.insert(args.end(), c.args.begin(), c.args.end());

  // No display: the headless path must not need one, nor load Qt at all.
  ChildProcess updater(c.bundled ? env.WorkFile("updater") : TEVRA_UPDATER, args,
                       {"DISPLAY", "WAYLAND_DISPLAY"});
  ASSERT_TRUE(updater.Started());
  if (!c.devices.empty()) {
    EXPECT_NE(updater.NextLine(10s), "");
    std::ifstream maps("/proc/" + std::to_string(updater.pid()) + "/maps");
    std::stringstream mapped;
    mapped << maps.rdbuf();
    EXPECT_EQ(mapped.str().find("libQt"), std::string::npos) << "a Qt library is mapped";
  }
  if (c.interrupt) {
    ASSERT_TRUE(
        devices[0]->WaitUntil([](const sim::DongleStats& s) { return s.blocks >= 2; }, 10s));
    updater.Signal(SIGINT);
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
    EXPECT_EQ(stats.image == payload, c.devices[i].receivesPayload) << port;
    EXPECT_EQ(stats.unknownBytes, 0U) << port << " got bytes that are no command";
  }
}

// Without arguments the window opens: the embedded module loads and brings Qt.
TEST(WindowPathTest, LoadsTheEmbeddedWindowModule) {
  const IsolatedEnvironment env;
  SetEnv("QT_QPA_PLATFORM", "offscreen");
  ChildProcess updater(TEVRA_UPDATER, {});
  ASSERT_TRUE(updater.Started());
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::string mapped;
  while (mapped.find("libQt6Widgets") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline && updater.NextLine(100ms).empty()) {
    std::ifstream maps("/proc/" + std::to_string(updater.pid()) + "/maps");
    std::stringstream text;
    text << maps.rdbuf();
    mapped = text.str();
  }
  EXPECT_NE(mapped.find("libQt6Widgets"), std::string::npos) << updater.Stderr();
  updater.Signal(SIGTERM);
  EXPECT_EQ(updater.Finish(kRunCap), 128 + SIGTERM) << updater.Stderr();
}

std::vector<Case> Cases() {
  return {
      {"OnePort", {{kGood, kDone, true}}, {}, "", 0},
      {"ThreePortsInParallel",
       {{kGood, kDone, true}, {kGood, kDone, true}, {kGood, kDone, true}},
       {},
       "",
       0},
      {"DeviceIgnoresTheFirstErase",
       {{Faults(1, -1, -1), kDone, true}},
       {},
       "COM3: no answer to the erase; erasing again",
       0},
      {"SilentDeviceFailsAfterTheTimeoutOthersSucceed",
       {{kGood, kDone, true},
        {Faults(0, 3, -1), "failed: the device gave no answer for 1 s at block 4 of 8", false}},
       {"--timeout", "1"},
       "",
       5},
      {"HangupMidDownload",
       {{Faults(0, -1, 3), "failed: the device was disconnected at block 4 of 8", false}},
       {},
       "",
       5},
      {"HangupRightAfterTheLastAnswer", {{Faults(0, -1, 8), kDone, true}}, {}, "", 0},
      {"PortThatDoesNotExist",
       {},
       {"--port", "/nonexistent/ttyUSB9"},
       "/nonexistent/ttyUSB9: failed: the port did not open: no such device",
       4},
      {"NoPayload", {}, {}, "COM3: failed: no payload to send", 3, false, false},
      {"BadOption", {}, {"--bogus"}, "unknown option \"--bogus\"\n\nusage: tevra-updater", 2},
      {"RateNotInTheList", {}, {"--baud", "1234"}, "--baud wants one of 110, 300", 2},
      {"Interrupted",
       {{kGood, "interrupted at block", false}, {kGood, "interrupted at block", false}},
       {},
       "",
       130,
       true},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, HeadlessDownloadTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
}  // namespace tevra::test
