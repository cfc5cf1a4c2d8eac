// Downloads through real serial drivers inside the guest of tests/vm/run.sh
// (run in its share), a dongle-sim as the device; the numbering must find
// each device.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QProgressBar>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "res/resource.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRow9600 = 6;
constexpr int kRow115200 = 12;
constexpr QLatin1String kOpened{"Com has opened already!"};
constexpr QLatin1String kFinished{"File download finish!"};

// The guest is emulated, on a machine others share: many times slower than
// the host at worst. Caps only a failure reaches.
constexpr std::chrono::seconds kGuestCap{180};

bool Appears(const std::string& node, bool present) {
  return WindowDriver::WaitFor([&] { return std::filesystem::exists(node) == present; }, kGuestCap);
}

// QEMU models and traces the line to a device end on the host; the gadget's runs here.
enum class Unplug { kNone, kMonitor, kGadget };

struct DriverPath {
  const char* name;
  int com;           // what the numbering must give the device
  const char* node;  // the device node the driver makes
  const char* end;   // the device end's image in the share is END.img
  Unplug unplug;
};

class RealDriverTest : public testing::TestWithParam<DriverPath> {
 protected:
  void SetUp() override {
    // The numbering's state outlives the boot; everything else is fresh.
    const char* state = std::getenv("TEVRA_VM_STATE");  // NOLINT(concurrency-mt-unsafe)
    ASSERT_NE(state, nullptr) << "not run by tests/vm/run.sh";
    SetEnv("XDG_STATE_HOME", state);
    if (GetParam().unplug == Unplug::kGadget) {
      ASSERT_NO_FATAL_FAILURE(StartGadgetEnd());
    }
  }

  void StartGadgetEnd() {
    ASSERT_TRUE(Appears("/dev/ttyGS0", true));
    m_gadget = std::make_unique<ChildProcess>(
        TEVRA_DONGLE_SIM, std::vector<std::string>{"--tty", "/dev/ttyGS0", "--pace", "--baud",
                                                   "115200", "--image", m_end + ".img"});
    ASSERT_NE(m_gadget->NextLine(kGuestCap), "") << m_gadget->Stderr();  // it is listening
  }

  // Unplugs or replugs the adapter and waits for its node to go or come.
  void SetPlugged(bool plugged) {
    if (GetParam().unplug == Unplug::kMonitor) {
      std::cout << "@vm: " << (plugged ? "replug " : "unplug ") << m_end << std::endl;
    } else if (!plugged) {
      // The removal waits for the gadget's tty to be closed: the device end goes with it.
      ChildProcess rmmod("/run/vm/bin/rmmod", {"g_serial"});
      ASSERT_TRUE(Appears(GetParam().node, false));
      m_gadget.reset();
      EXPECT_EQ(rmmod.Finish(kGuestCap), 0) << rmmod.Stderr();
    } else {
      ChildProcess modprobe("/run/vm/bin/modprobe", {"g_serial"});
      EXPECT_EQ(modprobe.Finish(kGuestCap), 0) << modprobe.Stderr();
      ASSERT_NO_FATAL_FAILURE(StartGadgetEnd());
    }
    ASSERT_TRUE(Appears(GetParam().node, plugged));
  }

  void StartDownload(const Bytes& payload) {
    std::string error;
    const std::string updater = WindowDriver::BundledUpdater(m_env, payload, error);
    ASSERT_FALSE(updater.empty()) << error;
    m_window.SetPayloadSource(updater);
    m_driver.Click(res::IDC_DOWNLOAD);
  }

  // The seconds until the window's finish; the device then holds the payload.
  double Download(const Bytes& payload) {
    const int finishes = m_driver.CountLines(kFinished);
    const Clock::time_point start = Clock::now();
    StartDownload(payload);
    EXPECT_TRUE(
        WindowDriver::WaitFor([&] { return m_driver.CountLines(kFinished) > finishes; }, 300s));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(
        WindowDriver::WaitFor([&] { return ReadFile(m_end + ".img") == payload; }, kGuestCap))
        << "the device's image differs from the payload";
    return seconds;
  }

  // Whether QEMU's model of the line last received `baud` (within the 3 % an
  // FTDI divisor may round by) and 8E1, in the trace after byte `from`.
  static bool TraceShows(std::streamoff from, int baud) {
    std::ifstream trace("trace.log");
    trace.seekg(from);
    long rate = 0;
    char parity = 0;
    int data = 0;
    int stop = 0;
    for (std::string line; std::getline(trace, line);) {
      // Each event sets what it carries; any other line, nothing.
      const char* l = line.c_str();
      (void)std::sscanf(l, "usb_serial_set_baud dev %*d:%*d baud rate %ld", &rate);
      (void)std::sscanf(l, "usb_serial_set_data dev %*d:%*d parity %c, data bits %d, stop bits %d",
                        &parity, &data, &stop);
      (void)std::sscanf(l, "serial_update_parameters baudrate=%ld parity='%c' data=%d stop=%d",
                        &rate, &parity, &data, &stop);
    }
    return parity == 'E' && data == 8 && stop == 1 &&
           std::abs(static_cast<double>(rate - baud)) <= 0.03 * baud;
  }

  IsolatedEnvironment m_env;
  UpdaterDialog m_window;
  WindowDriver m_driver{m_window};
  std::string m_end = GetParam().end;
  std::unique_ptr<ChildProcess> m_gadget;
};

// Runs of every byte value at 9600, then at 115200 baud, QEMU's model of the
// line set to each at 8E1. Where the adapter can be unplugged, then
// mid-download: the updater idles, names the device on stderr, closes at
// once and finds it again as the same COM number. Last a full download, timed.
TEST_P(RealDriverTest, Downloads) {
  Bytes runs;
  for (std::size_t v = 0; v < 256; ++v) {
    runs.insert(runs.end(), 1 + v % 8, static_cast<std::uint8_t>(v));
  }
  for (const int baud : {9600, 115200}) {
    SCOPED_TRACE(baud);
    const std::streamoff traced = std::ifstream("trace.log", std::ios::ate).tellg();
    ASSERT_EQ(m_driver.OpenPort(GetParam().com - 1, baud == 9600 ? kRow9600 : kRow115200), kOpened);
    if (GetParam().unplug != Unplug::kGadget) {
      EXPECT_TRUE(WindowDriver::WaitFor([&] { return TraceShows(traced, baud); }, kGuestCap))
          << "QEMU's trace shows no " << baud << " baud at 8E1";
    }
    Download(runs);  // "Com settings" reopens the port at the next rate
  }
  if (GetParam().unplug != Unplug::kNone) {
    StartDownload(RandomBytes(16384, 12));
    ASSERT_TRUE(WindowDriver::WaitFor(
        [&] { return m_driver.Control<QProgressBar>(res::IDC_PROGRESS)->value() >= 5; },
        kGuestCap));
    testing::internal::CaptureStderr();
    ASSERT_NO_FATAL_FAILURE(SetPlugged(false));
    // This process's CPU time over a plain event loop: the updater's own work.
    QEventLoop idle;
    QTimer::singleShot(10s, &idle, &QEventLoop::quit);
    const std::clock_t cpuBefore = std::clock();
    idle.exec();
    const double percent = 10.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    std::cout << "timing " << GetParam().name << " unplugged_cpu_percent " << percent << std::endl;
    // A spinning worker takes a whole CPU; the emulated guest on a busy
    // machine charges even light work several times over.
    EXPECT_LT(percent, 50.0) << "in the 10 s after the unplug";
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(GetParam().node), std::string::npos) << "no line names the device:\n" << err;

    const Clock::time_point click = Clock::now();
    m_driver.Click(res::IDC_COM_CLOSE);
    EXPECT_LT(Clock::now() - click, 10s) << "a close that waits for unsent output takes 30 s";
    EXPECT_EQ(m_driver.TopLine(), QLatin1String("Success to Close Com!"));
    EXPECT_EQ(m_driver.CountLines(kFinished), 2) << "a finish while unplugged";
    ASSERT_NO_FATAL_FAILURE(SetPlugged(true));
    ASSERT_EQ(m_driver.OpenPort(GetParam().com - 1, kRow115200), kOpened);
  }
  const double seconds = Download(RandomBytes(16384, 11));
  // The protocol's floor: 256 answers, each framed by 100 ms of silence.
  std::cout << "timing " << GetParam().name << " download_seconds " << seconds
            << " floor_seconds 25.6 ratio " << seconds / 25.6 << std::endl;
}

// Two FTDI adapters, A and B, plugged in the other order in each boot
// (TEVRA_VM_FIRST_ADAPTER names the first): A stays COM3 and B COM4.
TEST_P(RealDriverTest, TwoAdaptersKeepTheirNumbers) {
  std::string first;
  std::ifstream("/sys/class/tty/ttyUSB0/device/../../serial") >> first;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): no thread changes the environment
  EXPECT_STREQ(first.c_str(), std::getenv("TEVRA_VM_FIRST_ADAPTER")) << "not plugged as asked";
  for (const auto& [com, end] : {std::pair{3, "ftdi-a"}, std::pair{4, "ftdi-b"}}) {
    m_end = end;
    ASSERT_EQ(m_driver.OpenPort(com - 1, kRow115200), kOpened) << "COM" << com;
    Download(RandomBytes(200, 13));
    m_driver.Click(res::IDC_COM_CLOSE);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RealDriverTest,
    testing::Values(DriverPath{"ftdi", 3, "/dev/ttyUSB0", "ftdi-a", Unplug::kMonitor},
                    DriverPath{"uart", 2, "/dev/ttyS1", "uart", Unplug::kNone},
                    DriverPath{"acm", 3, "/dev/ttyACM0", "acm", Unplug::kGadget}),
    [](const testing::TestParamInfo<DriverPath>& p) { return p.param.name; });

}  // namespace
}  // namespace tevra::test
