// Downloads through real serial drivers inside the guest of tests/vm/run.sh,
// a dongle-sim as the device; the numbering must find each device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bundler/bundle.h"
#include "res/resource.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"
#include "ui/updater_dialog.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): for posix_spawn

namespace tevra::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRow9600 = 6;
constexpr int kRow115200 = 12;
constexpr double kFloorSeconds = 25.6;  // 256 answers, each framed by 100 ms of silence
constexpr auto kDownloadCap = 150s;     // everything runs emulated
constexpr QLatin1String kOpened{"Com has opened already!"};
constexpr QLatin1String kFinished{"File download finish!"};
constexpr QLatin1String kClosed{"Success to Close Com!"};

std::string Getenv(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): set before any thread
  return value != nullptr ? value : "";
}

std::string Share(const std::string& name) {
  return Getenv("TEVRA_VM_SHARE") + '/' + name;
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

pid_t Spawn(std::vector<std::string> args, const std::string& output = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!output.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  std::vector<char*> argv(args.size() + 1, nullptr);
  std::transform(args.begin(), args.end(), argv.begin(), [](std::string& a) { return a.data(); });
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int Reap(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A dongle-sim's event log and the image it received, read from the share.
struct DeviceEnd {
  std::string name;
  std::size_t mark = 0;  // log lines before the current download

  void Mark() { mark = Lines(Share(name + ".log")).size(); }
  int Count(const std::string& event) const {
    const std::vector<std::string> lines = Lines(Share(name + ".log"));
    int n = 0;
    for (std::size_t i = mark; i < lines.size(); ++i) {
      n += lines[i] == event || (event == "block" && lines[i].rfind("block ", 0) == 0) ? 1 : 0;
    }
    return n;
  }
  Bytes Image() const {
    std::ifstream in(Share(name + ".img"), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
};

// This process's CPU time over `span` of a plain event loop: the updater's
// own work, without a test's polling.
double CpuSecondsOfAnIdleLoop(std::chrono::milliseconds span) {
  QEventLoop idle;
  QTimer::singleShot(span, &idle, &QEventLoop::quit);
  const std::clock_t before = std::clock();
  idle.exec();
  return static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
}

enum class Unplug { kNone, kMonitor, kModule };

struct DriverPath {
  const char* name;
  int com;            // what the numbering must give the device
  const char* node;   // the device node the driver makes
  const char* end;    // the device end's name in the share ("" for the gadget end)
  const char* trace;  // QEMU trace event that carries the rate, or null
  Unplug unplug;
};

const DriverPath kFtdi{"ftdi",          3, "/dev/ttyUSB0", "ftdi-a", "usb_serial_set_baud",
                       Unplug::kMonitor};
const DriverPath kUart{"uart", 2, "/dev/ttyS1", "uart", "serial_update_parameters", Unplug::kNone};
const DriverPath kAcm{"acm", 3, "/dev/ttyACM0", "", nullptr, Unplug::kModule};

std::string NameOf(const testing::TestParamInfo<DriverPath>& p) {
  return p.param.name;
}

bool Appears(const std::string& node, bool present, std::chrono::milliseconds cap) {
  return WindowDriver::WaitFor([&] { return std::filesystem::exists(node) == present; }, cap);
}

class RealDriverTest : public testing::TestWithParam<DriverPath> {
 protected:
  void SetUp() override {
    // The numbering's state outlives the boot; everything else is fresh.
    SetEnv("XDG_STATE_HOME", Share(Getenv("TEVRA_VM_STATE")));
    if (GetParam().unplug == Unplug::kModule) {
      StartGadgetEnd();
    } else {
      m_end.name = GetParam().end;
    }
  }
  void TearDown() override { StopGadgetEnd(); }

  // dongle-sim on the gadget end; a new log and image at each start.
  void StartGadgetEnd() {
    static int starts = 0;
    m_end = DeviceEnd{"acm-" + std::to_string(++starts)};
    ASSERT_TRUE(Appears("/dev/ttyGS0", true, 20s));
    m_gadget = Spawn({TEVRA_DONGLE_SIM, "--tty", "/dev/ttyGS0", "--pace", "--baud", "115200",
                      "--image", Share(m_end.name + ".img")},
                     Share(m_end.name + ".log"));
    ASSERT_GT(m_gadget, 0);
    ASSERT_TRUE(WindowDriver::WaitFor([&] { return !Lines(Share(m_end.name + ".log")).empty(); }));
  }
  void StopGadgetEnd() {
    if (m_gadget > 0) {
      kill(m_gadget, SIGTERM);
      Reap(std::exchange(m_gadget, -1));
    }
  }

  void SetUnplugged(bool unplugged) {
    if (GetParam().unplug == Unplug::kMonitor) {
      std::cout << "@vm: " << (unplugged ? "unplug " : "replug ") << m_end.name << std::endl;
    } else if (unplugged) {
      // The removal waits for the gadget's tty to be closed: the device end goes with it.
      const pid_t rmmod = Spawn({"/run/vm/bin/rmmod", "g_serial"});
      ASSERT_TRUE(Appears(GetParam().node, false, 10s));
      StopGadgetEnd();
      EXPECT_EQ(Reap(rmmod), 0);
    } else {
      EXPECT_EQ(Reap(Spawn({"/run/vm/bin/modprobe", "g_serial"})), 0);
      StartGadgetEnd();
    }
  }

  void Open(int rateRow) {
    ASSERT_EQ(m_driver.OpenPort(GetParam().com - 1, rateRow), kOpened)
        << "COM" << GetParam().com << " should be " << GetParam().node;
  }

  void StartDownload(const Bytes& payload) {
    WriteFile(m_env.WorkFile("image"), RandomBytes(3000, 7));
    WriteFile(m_env.WorkFile("payload"), payload);
    std::string error;
    ASSERT_TRUE(PackBundle(m_env.WorkFile("image"), m_env.WorkFile("payload"),
                           m_env.WorkFile("updater"), error))
        << error;
    m_window.SetPayloadSource(m_env.WorkFile("updater"));
    m_end.Mark();
    m_driver.Click(res::IDC_DOWNLOAD);
  }

  // The payload arrives byte for byte: one erase, a header and a block per
  // 128 bytes, the finish on top of the log. Returns the seconds it took.
  double Download(const Bytes& payload) {
    const Clock::time_point start = Clock::now();
    StartDownload(payload);
    EXPECT_TRUE(
        WindowDriver::WaitFor([&] { return m_driver.TopLine() == kFinished; }, kDownloadCap));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(WindowDriver::WaitFor([&] { return m_end.Image() == payload; }))
        << "the device's image differs from the payload";
    const int blocks = static_cast<int>((payload.size() + 127) / 128);
    EXPECT_EQ(m_end.Count("erase"), 1);
    EXPECT_EQ(m_end.Count("header"), blocks);
    EXPECT_EQ(m_end.Count("block"), blocks);
    return seconds;
  }

  void FullDownload() {
    const double seconds = Download(RandomBytes(16384, 11));
    std::cout << "timing " << GetParam().name << " download_seconds " << seconds
              << " floor_seconds " << kFloorSeconds << " ratio " << seconds / kFloorSeconds
              << std::endl;
  }

  // Whether QEMU's model of the line last received `baud` at 8E1 (within
  // the 3 % an FTDI divisor may round by), in trace lines after `from`.
  static bool TraceShows(std::size_t from, int baud) {
    const std::vector<std::string> lines = Lines(Share("trace.log"));
    long rate = 0;
    bool eightE1 = false;
    for (std::size_t i = from; i < lines.size(); ++i) {
      const char* l = lines[i].c_str();
      char parity = 0;
      int data = 0;
      int stop = 0;
      if (std::sscanf(l, "usb_serial_set_baud dev %*d:%*d baud rate %ld", &rate) != 1 &&
          std::sscanf(l, "usb_serial_set_data dev %*d:%*d parity %c, data bits %d, stop bits %d",
                      &parity, &data, &stop) != 3 &&
          std::sscanf(l, "serial_update_parameters baudrate=%ld parity='%c' data=%d stop=%d", &rate,
                      &parity, &data, &stop) != 4) {
        continue;
      }
      if (data != 0) {
        eightE1 = parity == 'E' && data == 8 && stop == 1;
      }
    }
    return eightE1 && std::abs(static_cast<double>(rate - baud)) <= 0.03 * baud;
  }

  IsolatedEnvironment m_env;
  UpdaterDialog m_window;
  WindowDriver m_driver{m_window};
  DeviceEnd m_end;
  pid_t m_gadget = -1;
};

TEST_P(RealDriverTest, RunsOfEveryByteValueAt9600And115200) {
  Bytes runs;
  for (std::size_t v = 0; v < 256; ++v) {
    runs.insert(runs.end(), 1 + v % 8, static_cast<std::uint8_t>(v));
  }
  for (const auto& [row, rate] : {std::pair{kRow9600, 9600}, std::pair{kRow115200, 115200}}) {
    const int baud = rate;  // a lambda cannot capture a structured binding in C++20
    SCOPED_TRACE(baud);
    const std::size_t traced = Lines(Share("trace.log")).size();
    ASSERT_NO_FATAL_FAILURE(Open(row));
    if (GetParam().trace != nullptr) {
      EXPECT_TRUE(WindowDriver::WaitFor([&] { return TraceShows(traced, baud); }, 5s))
          << "no " << GetParam().trace << " with " << baud << " baud at 8E1 in the trace";
    }
    Download(runs);
    m_driver.Click(res::IDC_COM_CLOSE);
  }
}

TEST_P(RealDriverTest, UnplugMidDownloadThenReplugAndDownloadAgain) {
  ASSERT_NO_FATAL_FAILURE(Open(kRow115200));
  StartDownload(RandomBytes(16384, 12));
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return m_end.Count("block") >= 8; }));
  {
    // run.sh sends this program's stderr to a file of its own.
    const std::size_t stderrBefore = Lines(Getenv("TEVRA_VM_STDERR")).size();
    SetUnplugged(true);
    ASSERT_TRUE(Appears(GetParam().node, false, 10s));
    const double cpu = CpuSecondsOfAnIdleLoop(10s);
    std::cout << "timing " << GetParam().name << " unplugged_cpu_percent " << cpu * 10 << std::endl;
    EXPECT_LT(cpu, 0.5) << "over 5 % CPU in the 10 s after the unplug";
    const std::vector<std::string> lines = Lines(Getenv("TEVRA_VM_STDERR"));
    EXPECT_TRUE(std::any_of(lines.begin() + static_cast<std::ptrdiff_t>(stderrBefore), lines.end(),
                            [node = GetParam().node](const std::string& l) {
                              return l.find(node) != std::string::npos;
                            }))
        << "no stderr line names " << GetParam().node;
  }

  const Clock::time_point click = Clock::now();
  m_driver.Click(res::IDC_COM_CLOSE);
  EXPECT_LT(Clock::now() - click, 1s);
  EXPECT_EQ(m_driver.TopLine(), kClosed);
  EXPECT_EQ(m_driver.CountLines(kFinished), 0);

  SetUnplugged(false);
  ASSERT_TRUE(Appears(GetParam().node, true, 30s));
  ASSERT_NO_FATAL_FAILURE(Open(kRow115200));
  FullDownload();
}

TEST_P(RealDriverTest, FullDownload) {
  ASSERT_NO_FATAL_FAILURE(Open(kRow115200));
  FullDownload();
}

INSTANTIATE_TEST_SUITE_P(Paths, RealDriverTest, testing::Values(kFtdi, kUart, kAcm), NameOf);

// Two FTDI adapters, A and B: whichever the kernel finds first, A is COM3
// and B is COM4 (the numbering's state outlives the boot).
// TEVRA_VM_FIRST_ADAPTER names the one plugged first in this boot.
class TwoAdaptersTest : public RealDriverTest {};

TEST_P(TwoAdaptersTest, KeepTheirNumbersWhicheverIsPluggedFirst) {
  const std::string first = Getenv("TEVRA_VM_FIRST_ADAPTER");
  std::ifstream serial("/sys/class/tty/ttyUSB0/device/../../serial");
  std::string ttyUSB0;
  std::getline(serial, ttyUSB0);
  EXPECT_EQ(ttyUSB0, first) << "the adapters were not plugged in the order asked";
  Open(kRow115200);
  Download(RandomBytes(200, 13));
}

INSTANTIATE_TEST_SUITE_P(Adapters, TwoAdaptersTest,
                         testing::Values(DriverPath{"a", 3, "", "ftdi-a", nullptr, Unplug::kNone},
                                         DriverPath{"b", 4, "", "ftdi-b", nullptr, Unplug::kNone}),
                         NameOf);

}  // namespace
}  // namespace tevra::test
