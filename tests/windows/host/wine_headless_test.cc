// tevra-updater.exe --download under Wine, as a vendor's script runs it on
// Windows: the vendor's file made by the Linux bundler, simulated devices on
// pseudo-terminals the prefix maps as COM3 and COM4, standard output a pipe.
// tests/windows/run.sh runs it with the programs and the prefix named in the
// environment; without them every case is skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bundler/bundle.h"
#include "sim/dongle_simulator.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kRunCap = std::chrono::milliseconds(120s);
constexpr char kWine[] = "/usr/bin/wine";
constexpr char kDone[] = "done: ";
constexpr std::size_t kPayloadBytes = 1000;  // seven full blocks and a short one

std::string Env(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read before any thread
  return value != nullptr ? value : "";
}

// A Windows path Wine maps onto this one (drive Z: is the root).
std::string WinePath(const std::string& path) {
  return "Z:" + path;
}

// The prefix's COMn, a link to `target` while this lives.
class DosDevice {
 public:
  DosDevice(const std::string& prefix, int n, const std::string& target)
      : link_(prefix + "/dosdevices/com" + std::to_string(n)) {
    std::error_code error;
    fs::remove(link_, error);
    fs::create_symlink(target, link_);
  }
  DosDevice(const DosDevice&) = delete;
  DosDevice& operator=(const DosDevice&) = delete;
  ~DosDevice() {
    std::error_code error;
    fs::remove(link_, error);
  }

 private:
  std::string link_;
};

// Every file under the prefix's Windows folder with its size and time.
std::map<std::string, std::string> WindowsFolder(const std::string& prefix) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(prefix + "/drive_c/windows", error), end;
       !error && it != end; it.increment(error)) {
    std::error_code e;
    const auto size = it->is_regular_file(e) ? it->file_size(e) : 0;
    const auto time = fs::last_write_time(it->path(), e).time_since_epoch().count();
    files[it->path().string()] = std::to_string(size) + " " + std::to_string(time);
  }
  return files;
}

// A report's records as python3's json module reads them: each one's port,
// result and cause, tab-separated, a line each; "bad" when a line is not JSON.
std::string Records(const std::string& path) {
  static constexpr char kScript[] = R"(
import json, sys
for line in open(sys.argv[1], 'rb').read().decode().splitlines():
    try:
        r = json.loads(line)
        print(r['port'], r['result'], r['cause'], sep='\t')
    except ValueError:
        print('bad')
)";
  ChildProcess python("/usr/bin/python3", {"-c", kScript, path});
  EXPECT_EQ(python.Finish(kRunCap), 0) << python.Stderr();
  return python.Stdout();
}

using Options = sim::DongleOptions;
struct Device {
  std::string closing;  // its port's closing line; kDone: it holds the payload
  int Options::*fault = &Options::ignoreErase;
  int value = 0;
};

// What stands behind a port that no simulator serves.
enum class Port {
  kNone,     // nothing: no such port
  kRefused,  // Windows refuses the open with ERROR_ACCESS_DENIED, as for a
             // port another program holds (Wine itself lets a second program
             // open a port, so the link leads to a folder, which it refuses so)
};

struct Case {
  const char* name;
  int exitStatus;
  std::vector<Device> devices;  // on COM3, COM4, ...
  std::string output;           // somewhere in stdout or stderr
  std::vector<std::string> args = {};
  Port extra = Port::kNone;  // with kRefused, COM3 (and no devices)
  bool reportHeld = false;   // another program holds the report's lock all along
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    updater_ = Env("TEVRA_WINE_UPDATER");
    hold_ = Env("TEVRA_WINE_HOLD");
    prefix_ = Env("WINEPREFIX");
    if (updater_.empty() || hold_.empty() || prefix_.empty()) {
      GTEST_SKIP() << "run by tests/windows/run.sh, which builds the Windows programs";
    }
  }

  std::string updater_;
  std::string hold_;
  std::string prefix_;
};

// One file that runs without installing anything: only the system's own
// DLLs, and a window program, so a double-click flashes no console.
TEST_F(WineTest, IsOneWindowProgramOnTheSystemsDlls) {
  ChildProcess dump("/usr/bin/x86_64-w64-mingw32-objdump", {"-p", updater_});
  ASSERT_EQ(dump.Finish(kRunCap), 0) << dump.Stderr();
  std::istringstream lines(dump.Stdout());
  std::vector<std::string> dlls;
  for (std::string line; std::getline(lines, line);) {
    if (const std::size_t at = line.find("DLL Name: "); at != std::string::npos) {
      dlls.push_back(line.substr(at + 10));
    }
  }
  for (const std::string& dll : dlls) {
    const bool system = dll == "KERNEL32.dll" || dll == "msvcrt.dll" || dll == "USER32.dll" ||
                        dll == "GDI32.dll" || dll == "ADVAPI32.dll" || dll == "SHELL32.dll" ||
                        dll == "ole32.dll" || dll == "COMCTL32.dll" || dll == "SETUPAPI.dll" ||
                        dll == "CFGMGR32.dll" || dll == "UxTheme.dll";
    EXPECT_TRUE(system) << dll << " is no DLL every Windows has";
  }
  EXPECT_NE(std::find(dlls.begin(), dlls.end(), "KERNEL32.dll"), dlls.end());
  EXPECT_NE(dump.Stdout().find("(Windows GUI)"), std::string::npos);
}

class WineHeadlessTest : public WineTest, public ::testing::WithParamInterface<Case> {};

// What needs neither a window nor a port: --help names only what Windows
// offers, --licenses the toolchain's runtime linked in.
TEST_F(WineTest, AnswersWithoutAWindow) {
  ChildProcess help(kWine, {updater_, "--help"});
  EXPECT_EQ(help.Finish(kRunCap), 0) << help.Stderr();
  EXPECT_NE(help.Stdout().find("  --port COMn "), std::string::npos) << help.Stdout();
  for (const char* linuxOnly : {"  --watch", "  --grant-access", "/dev/", "SIGTERM"}) {
    EXPECT_EQ(help.Stdout().find(linuxOnly), std::string::npos) << linuxOnly;
  }
  ChildProcess licenses(kWine, {updater_, "--licenses"});
  EXPECT_EQ(licenses.Finish(kRunCap), 0) << licenses.Stderr();
  EXPECT_NE(licenses.Stdout().find("Files: mingw-w64-libraries/winpthreads/*"), std::string::npos);
}

TEST_P(WineHeadlessTest, Runs) {
  const Case& c = GetParam();
  const TempDir work;
  const TempDir simulated;  // the simulators' own links
  const Bytes payload = RandomBytes(kPayloadBytes, 11);
  WriteFile(work.Path("fw.bin"), payload);
  std::string error;
  ASSERT_TRUE(PackBundle(updater_, work.Path("fw.bin"), work.Path("fw-updater.exe"), error))
      << error;

  std::vector<std::unique_ptr<sim::DongleSimulator>> devices;
  std::vector<std::unique_ptr<DosDevice>> links;
  std::vector<std::string> args = {work.Path("fw-updater.exe"), "--download"};
  for (const Device& d : c.devices) {
    Options options;
    options.*d.fault = d.value;
    options.port = 3 + static_cast<int>(devices.size());
    options.portsDir = simulated.path();
    devices.push_back(std::make_unique<sim::DongleSimulator>(options));
    ASSERT_TRUE(devices.back()->Start(&error)) << error;
    links.push_back(
        std::make_unique<DosDevice>(prefix_, options.port, devices.back()->SlavePath()));
    args.insert(args.end(), {"--port", "COM" + std::to_string(options.port)});
  }
  if (c.extra == Port::kRefused) {
    fs::create_directory(work.Path("folder"));
    links.push_back(std::make_unique<DosDevice>(prefix_, 3, work.Path("folder")));
  }
  args.insert(args.end(), c.args.begin(), c.args.end());
  const std::string report = work.Path("report.jsonl");
  const bool reported = c.exitStatus != 2;
  if (reported) {
    args.insert(args.end(), {"--report", WinePath(report)});
  }
  std::unique_ptr<ChildProcess> holder;
  if (c.reportHeld) {
    holder = std::make_unique<ChildProcess>(
        kWine, std::vector<std::string>{hold_, "lock", WinePath(report), "100"});
    ASSERT_EQ(holder->NextLine(60s), "held") << holder->Stderr();
  }
  const auto windowsBefore = WindowsFolder(prefix_);

  ChildProcess updater(kWine, args);
  EXPECT_EQ(updater.Finish(kRunCap), c.exitStatus) << updater.Stdout() << updater.Stderr();
  const std::string& out = updater.Stdout();
  const std::string& err = updater.Stderr();
  EXPECT_NE((out + err).find(c.output), std::string::npos) << out << err;
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << "escape codes in a pipe: " << out;
  EXPECT_EQ((out + err).find('\r'), std::string::npos) << "lines end in \\n as on Linux";
  EXPECT_EQ(WindowsFolder(prefix_), windowsBefore) << "written under C:\\windows";
  if (c.exitStatus == 2) {
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
    EXPECT_EQ(out, "");
    return;
  }
  EXPECT_TRUE(out.starts_with("firmware: " + std::to_string(kPayloadBytes) + " bytes, sha256 "))
      << out;

  // A record for each port that says what its closing line says, unless the
  // report's lock was never had.
  const std::string records = Records(report);
  std::istringstream lines(records);
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const std::string port = line.substr(0, line.find('\t'));
    const bool done = line.find("\tdone\t") != std::string::npos;
    EXPECT_NE(out.find(port + ": " + (done ? kDone : "failed: ")), std::string::npos) << line;
  }
  const std::size_t ports =
      c.devices.size() + static_cast<std::size_t>(std::ranges::count(c.args, "--port"));
  EXPECT_EQ(count, c.reportHeld ? 0 : ports) << records;

  for (std::size_t i = 0; i < devices.size(); ++i) {
    const std::string port = "COM" + std::to_string(3 + i);
    EXPECT_NE(out.find(port + ": " + c.devices[i].closing), std::string::npos) << out;
    devices[i]->Stop();
    const sim::DongleStats stats = devices[i]->Stats();
    if (c.devices[i].closing == kDone) {
      EXPECT_EQ(stats.image, payload) << port << " got another image";
      EXPECT_EQ(stats.erases, 1) << port;
    }
    EXPECT_EQ(stats.unknownBytes, 0U) << port << " got bytes that are no command";
  }
}

std::vector<Case> Cases() {
  const Device good{kDone};
  return {
      {"TwoPortsByteForByte", 0, {good, good}, "COM4: done: 1000 bytes"},
      {"SilentDevice",
       5,
       {{"failed: the device gave no answer for 1 s at block 4 of 8", &Options::stopAfterBlock, 3}},
       "",
       {"--timeout", "1"}},
      {"UnpluggedDuringTheDownload",
       5,
       {{"failed: the device was disconnected at block 4 of 8", &Options::hangupAfterBlock, 3}},
       ""},
      {"PortAnotherProgramHolds",
       4,
       {},
       "COM3: failed: the port did not open: busy: another program holds it (Access denied)",
       {"--port", "COM3"},
       Port::kRefused},
      {"PortThatDoesNotExist",
       4,
       {good},
       "COM9: failed: the port did not open: no such device (File not found)",
       {"--port", "com9"}},  // Windows names ports in any case
      {"ReportLockedThroughout",
       6,
       {good},
       "not written: another program held its lock past the end of the run",
       {},
       Port::kNone,
       true},
      {"WatchIsForLinux", 2, {}, "tevra-updater: --watch is for Linux only", {"--watch"}},
      {"GrantIsForLinux",
       2,
       {},
       "tevra-updater: --grant-access is for Linux only",
       {"--grant-access", "COM3"}},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, WineHeadlessTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
}  // namespace tevra::test
