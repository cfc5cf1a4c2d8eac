// The window's downloads end to end: the real window, the real port, and a
// device on a pseudo-terminal published as COM3 (the simulator, or a device
// scripted here where the test must hold an answer back). The protocol's
// cases are the sequencer's own tests.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bundler/bundle.h"
#include "payload/payload_paths.h"
#include "platform/port_resolver.h"
#include "res/resource.h"
#include "sim/dongle_simulator.h"
#include "sim/pty_link.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"
#include "ui/updater_dialog.h"

namespace tevra::test {
namespace {

using Clock = std::chrono::steady_clock;
using res::IDC_COM_CLOSE;
using res::IDC_COM_SETTINGS;
using res::IDC_DOWNLOAD;
using res::IDC_PROGRESS;
using std::chrono::milliseconds;

constexpr QLatin1String kOpened{"Com has opened already!"};
constexpr QLatin1String kFinished{"File download finish!"};
constexpr QLatin1String kOpenFileFailure{"open File failure!"};
constexpr QLatin1String kNoOpenCom{"No Open Com!"};

Bytes Erase() {
  return {0xE0, 0x22, 0x00, 0x00, 0x02};
}
Bytes Header() {
  return {0xE0, 0x55, 0x00, 0x00, 0x80};
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(from),
          bytes.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

// A device scripted by the test, so it can hold an answer back.
class ScriptedDevice {
 public:
  explicit ScriptedDevice(const std::string& portsDir) {
    std::string error;
    EXPECT_TRUE(m_link.Open(3, portsDir, &error)) << error;
  }

  // The next n bytes the updater sends, spinning the window's event loop.
  Bytes Read(std::size_t n) {
    Bytes got(n);
    std::size_t have = 0;
    const bool complete = WindowDriver::WaitFor([&] {
      const long r = m_link.ReadSome(got.data() + have, n - have, milliseconds(0));
      if (r > 0) {
        have += static_cast<std::size_t>(r);
      }
      return have == n;
    });
    EXPECT_TRUE(complete) << "got " << have << " of " << n << " bytes";
    got.resize(have);
    return got;
  }

  // Whether nothing arrives within `wait`, the window's event loop running.
  bool Silent(milliseconds wait) {
    std::array<std::uint8_t, 64> scratch{};
    const bool arrived = WindowDriver::WaitFor(
        [&] { return m_link.ReadSome(scratch.data(), scratch.size(), milliseconds(0)) != 0; },
        wait);
    return !arrived;
  }

  void Answer(Bytes echo, const Bytes& tail) {
    echo.insert(echo.end(), tail.begin(), tail.end());
    EXPECT_TRUE(m_link.WriteAll(echo.data(), echo.size(), milliseconds(5000)));
  }

 private:
  sim::PtyLink m_link;
};

class DownloadTest : public testing::Test {
 protected:
  // A copy of a small program image with `payload` bundled into it.
  std::string MakeUpdater(const Bytes& payload) {
    const Bytes image = RandomBytes(3000, 7);
    if (payload.empty()) {  // the bundler refuses one; the updater still handles it
      const TrailerBytes trailer = EncodeTrailer(0);
      WriteFile(env.WorkFile("updater"), Concat(image, Bytes(trailer.begin(), trailer.end())));
      return env.WorkFile("updater");
    }
    WriteFile(env.WorkFile("image"), image);
    WriteFile(env.WorkFile("payload"), payload);
    std::string error;
    EXPECT_TRUE(
        PackBundle(env.WorkFile("image"), env.WorkFile("payload"), env.WorkFile("updater"), error))
        << error;
    return env.WorkFile("updater");
  }

  void StartSimulator(sim::DongleOptions options = {}) {
    options.port = 3;
    options.portsDir = env.portsDir();
    simulator = std::make_unique<sim::DongleSimulator>(options);
    std::string error;
    ASSERT_TRUE(simulator->Start(&error)) << error;
  }

  sim::DongleStats Stats() const { return simulator->Stats(); }

  // Opens COM3 with the defaults and starts a download of `payload`.
  void StartDownload(const Bytes& payload) {
    window.SetPayloadSource(MakeUpdater(payload));
    ASSERT_EQ(driver.OpenPort(), kOpened);
    driver.Click(IDC_DOWNLOAD);
  }

  // Starts a download of `payload` and plays the device up to the arrival
  // of the first block, which is left unanswered.
  void DownloadUpToTheFirstBlock(ScriptedDevice& device, const Bytes& payload) {
    StartDownload(payload);
    ASSERT_EQ(device.Read(5), Erase());
    device.Answer({}, {0x50, 0x02});
    ASSERT_EQ(device.Read(5), Header());
    device.Answer(Header(), {0xB0, 0xB1, 0xB2});
    ASSERT_EQ(device.Read(128), Slice(payload, 0, 128));
  }

  bool WaitForFinish() {
    return WindowDriver::WaitFor([&] { return driver.TopLine() == kFinished; });
  }

  // The finish is logged once the last block is queued; the device holds
  // it a moment later.
  bool WaitForFinishAndDelivery(const Bytes& payload) {
    return WaitForFinish() &&
           WindowDriver::WaitFor([&] { return Stats().image.size() == payload.size(); });
  }

  void ExpectIdleAfterFinish() {
    EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
    EXPECT_FALSE(window.downloading());
    EXPECT_FALSE(window.timerActive(UpdaterDialog::TIMER_PROGRESS));
    auto* progress = driver.Control<QProgressBar>(IDC_PROGRESS);
    EXPECT_LT(progress->value(), progress->minimum()) << "the bar is back at its minimum";
  }

  IsolatedEnvironment env;
  std::unique_ptr<sim::DongleSimulator> simulator;
  UpdaterDialog window;
  WindowDriver driver{window};
};

TEST_F(DownloadTest, FullPayloadArrivesByteForByteAs128BlocksAfterOneErase) {
  const Bytes payload = RandomBytes(16384, 1);
  StartSimulator();
  std::vector<int> positions;
  QObject::connect(driver.Control<QProgressBar>(IDC_PROGRESS), &QProgressBar::valueChanged,
                   [&](int value) { positions.push_back(value); });
  StartDownload(payload);
  EXPECT_FALSE(driver.Button(IDC_DOWNLOAD)->isEnabled());

  ASSERT_TRUE(WindowDriver::WaitFor([&] { return driver.TopLine() == kFinished; },
                                    std::chrono::seconds(90)));
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().blocks == 128; }));
  const sim::DongleStats stats = Stats();
  EXPECT_EQ(stats.erases, 1);
  EXPECT_EQ(stats.headers, 128);
  EXPECT_EQ(stats.blockLengths, std::vector<std::size_t>(128, 128));
  EXPECT_TRUE(stats.image == payload) << "the device's image differs from the payload";
  ExpectIdleAfterFinish();

  // The bar moved forward every second and never left its range.
  positions.pop_back();  // the reset at the finish
  EXPECT_GE(positions.size(), 10U);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    EXPECT_GE(positions[i], 1);
    EXPECT_LE(positions[i], 100);
    if (i > 0) {
      EXPECT_GT(positions[i], positions[i - 1]);
    }
  }
}

// At 110 baud a character takes as long as the 100 ms gap: the answers must
// still arrive whole, each as one record.
TEST_F(DownloadTest, PacedDeviceAt110BaudIsAnsweredWhole) {
  const Bytes payload = RandomBytes(10, 11);
  sim::DongleOptions options;
  options.baud = 110;
  options.pace = true;
  StartSimulator(options);
  window.SetPayloadSource(MakeUpdater(payload));
  ASSERT_EQ(driver.OpenPort(-1, 0), kOpened);
  driver.Click(IDC_DOWNLOAD);
  ASSERT_TRUE(WaitForFinishAndDelivery(payload));
  EXPECT_EQ(Stats().erases, 1);
}

// An unplugged adapter stalls the download without a false finish; "Com
// Close" still returns and frees Download, and the gone port will not open.
TEST_F(DownloadTest, UnpluggedDeviceStallsAndComCloseRecovers) {
  const Bytes payload = RandomBytes(1280, 9);
  sim::DongleOptions options;
  options.hangupAfterBlock = 2;
  StartSimulator(options);
  testing::internal::CaptureStderr();
  StartDownload(payload);
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().hungUp; }));
  // The header after block 2 goes out to a line nobody answers on.
  EXPECT_FALSE(
      WindowDriver::WaitFor([&] { return driver.TopLine() == kFinished; }, milliseconds(500)));
  EXPECT_TRUE(window.downloading());

  const Clock::time_point before = Clock::now();
  driver.Click(IDC_COM_CLOSE);
  EXPECT_LT(Clock::now() - before, milliseconds(5000)) << "Close must not hang on a dead line";
  EXPECT_EQ(driver.TopLine(), QStringLiteral("Success to Close Com!"));
  EXPECT_FALSE(window.downloading());
  EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
  // Without its link COM3 is the adapter numbered 3, which may be plugged in here.
  if (PortResolver::ForThisUser().DevicePath(3).empty()) {
    EXPECT_EQ(driver.OpenPort(), QStringLiteral("Com has not opened!"));
  }
  EXPECT_EQ(driver.CountLines(kFinished), 0);
  // The log keeps its sentences; the cause goes to stderr, once.
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("hung up or was unplugged"), std::string::npos) << err;
  EXPECT_EQ(err.find("hung up"), err.rfind("hung up")) << err;
}

TEST_F(DownloadTest, ComCloseAbandonsTheDownloadAndANewOneThenWorks) {
  const Bytes payload = RandomBytes(1280, 4);
  StartSimulator();
  StartDownload(payload);
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().blocks >= 2; }));
  driver.Click(IDC_COM_CLOSE);
  EXPECT_EQ(driver.TopLine(), QStringLiteral("Success to Close Com!"));
  EXPECT_FALSE(window.downloading());
  EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
  EXPECT_TRUE(window.timerActive(UpdaterDialog::TIMER_PROGRESS)) << "Com Close leaves it running";
  const int blocksAtClose = Stats().blocks;

  ASSERT_EQ(driver.OpenPort(), kOpened);
  driver.Click(IDC_DOWNLOAD);
  ASSERT_TRUE(WaitForFinish());
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().blocks >= blocksAtClose + 10; }));
  const sim::DongleStats stats = Stats();
  EXPECT_EQ(stats.erases, 2);
  EXPECT_TRUE(stats.image == payload) << "the second download sent the whole payload";
  EXPECT_EQ(driver.CountLines(kFinished), 1);
  ExpectIdleAfterFinish();
}

TEST_F(DownloadTest, ComSettingsMidDownloadKeepsItGoingOnceThePortIsReopened) {
  const Bytes payload = RandomBytes(200, 5);
  ScriptedDevice device(env.portsDir());
  ASSERT_NO_FATAL_FAILURE(DownloadUpToTheFirstBlock(device, payload));

  // The block's acceptance is held back while the user reopens the port.
  bool downloadingWhileShown = false;
  bool buttonWhileShown = true;
  ASSERT_TRUE(driver.WithModal([&] { driver.Click(IDC_COM_SETTINGS); },
                               [&](QDialog& dialog) {
                                 downloadingWhileShown = window.downloading();
                                 buttonWhileShown = driver.Button(IDC_DOWNLOAD)->isEnabled();
                                 auto* ok = dialog.findChild<QPushButton*>("IDOK");
                                 QTest::mouseClick(ok, Qt::LeftButton);
                               }));
  EXPECT_TRUE(downloadingWhileShown);
  EXPECT_FALSE(buttonWhileShown);
  EXPECT_EQ(driver.TopLine(), kOpened);
  EXPECT_TRUE(window.downloading());

  device.Answer(Slice(payload, 0, 128), {0x50, 0x00});
  ASSERT_EQ(device.Read(5), Header());
  device.Answer(Header(), {0xB0, 0xB1, 0xB2});
  ASSERT_EQ(device.Read(72), Slice(payload, 128, 72));
  ASSERT_TRUE(WaitForFinish());
  EXPECT_EQ(driver.CountLines(kOpened), 2);
  EXPECT_EQ(driver.CountLines(kNoOpenCom), 0);
  ExpectIdleAfterFinish();
}

enum class Source { kNoPayload, kOwnProgram, kDamagedTrailer };

class PayloadFailureTest : public DownloadTest, public testing::WithParamInterface<Source> {};

// A failed extraction must not download what the payload file then holds
// (nothing, or what an earlier run left there).
TEST_P(PayloadFailureTest, LogsOpenFileFailureAndSendsNothing) {
  const std::string directory = PayloadDirectory();
  ASSERT_FALSE(directory.empty());
  WriteFile(directory + '/' + kPayloadFileName, RandomBytes(300, 8));  // a stale payload

  switch (GetParam()) {
    case Source::kNoPayload:
      WriteFile(env.WorkFile("plain"), RandomBytes(3000, 9));
      window.SetPayloadSource(env.WorkFile("plain"));
      break;
    case Source::kOwnProgram:
      break;  // this test program carries no payload
    case Source::kDamagedTrailer: {
      const std::string updater = MakeUpdater(RandomBytes(256, 10));
      std::fstream file(updater, std::ios::binary | std::ios::in | std::ios::out);
      file.seekp(-1, std::ios::end);
      file.put('\x00');  // the magic's last byte
      ASSERT_TRUE(file.good());
      window.SetPayloadSource(updater);
      break;
    }
  }
  ScriptedDevice device(env.portsDir());
  ASSERT_EQ(driver.OpenPort(), kOpened);
  driver.Click(IDC_DOWNLOAD);

  EXPECT_EQ(driver.LogLines(), QStringList({kOpenFileFailure, kOpened}));
  EXPECT_FALSE(window.downloading());
  EXPECT_FALSE(driver.Button(IDC_DOWNLOAD)->isEnabled());
  EXPECT_FALSE(window.timerActive(UpdaterDialog::TIMER_PROGRESS));
  EXPECT_FALSE(window.timerActive(UpdaterDialog::TIMER_ERASE_RETRY));
  EXPECT_TRUE(device.Silent(milliseconds(500))) << "no erase, no block";
}

INSTANTIATE_TEST_SUITE_P(BadPayloadSources, PayloadFailureTest,
                         testing::Values(Source::kNoPayload, Source::kOwnProgram,
                                         Source::kDamagedTrailer),
                         [](const testing::TestParamInfo<Source>& param) {
                           switch (param.param) {
                             case Source::kNoPayload:
                               return "UpdaterWithoutPayload";
                             case Source::kOwnProgram:
                               return "OwnProgramWithoutPayload";
                             case Source::kDamagedTrailer:
                               return "DamagedTrailer";
                           }
                           return "Unknown";
                         });

}  // namespace
}  // namespace tevra::test
