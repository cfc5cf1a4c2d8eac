// Downloads end to end: the real window and port, and the simulator on a
// pseudo-terminal published as COM3. The protocol's cases are the
// sequencer's own tests.
#include <gtest/gtest.h>

#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bundler/bundle.h"
#include "payload/payload_paths.h"
#include "platform/port_resolver.h"
#include "res/resource.h"
#include "sim/dongle_simulator.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"
#include "ui/updater_dialog.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;
using res::IDC_COM_CLOSE;
using res::IDC_DOWNLOAD;
using res::IDC_PROGRESS;

constexpr QLatin1String kOpened{"Com has opened already!"};
constexpr QLatin1String kFinished{"File download finish!"};

class DownloadTest : public testing::Test {
 protected:
  // A small program image with `payload` bundled into it.
  std::string MakeUpdater(const Bytes& payload) {
    WriteFile(env.WorkFile("image"), RandomBytes(3000, 7));
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
  void StartDownload(const Bytes& payload, int baudRow = -1) {
    window.SetPayloadSource(MakeUpdater(payload));
    ASSERT_EQ(driver.OpenPort(-1, baudRow), kOpened);
    driver.Click(IDC_DOWNLOAD);
  }
  // The finish is logged once the last block is queued; the device holds it
  // a moment later. Then the window is idle, its bar at the minimum.
  void ExpectFinishedWith(const Bytes& payload, std::chrono::milliseconds cap = kWaitCap) {
    ASSERT_TRUE(WindowDriver::WaitFor([&] { return driver.TopLine() == kFinished; }, cap));
    ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().image.size() == payload.size(); }));
    EXPECT_TRUE(Stats().image == payload) << "the device's image differs from the payload";
    EXPECT_EQ(driver.CountLines(kFinished), 1);
    EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
    EXPECT_FALSE(window.downloading());
    EXPECT_FALSE(window.timerActive(UpdaterDialog::TIMER_PROGRESS));
    auto* progress = driver.Control<QProgressBar>(IDC_PROGRESS);
    EXPECT_LT(progress->value(), progress->minimum());
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
  ExpectFinishedWith(payload, 90s);
  EXPECT_EQ(Stats().erases, 1);
  EXPECT_EQ(Stats().blockLengths, std::vector<std::size_t>(128, 128));
  // The bar moved forward every second within its range, then was reset.
  positions.pop_back();
  EXPECT_GE(positions.size(), 10U);
  EXPECT_TRUE(std::ranges::is_sorted(positions, std::less_equal<>()));
  EXPECT_GE(positions.front(), 1);
  EXPECT_LE(positions.back(), 100);
}

// At 110 baud a character takes as long as the 100 ms gap: the answers must
// still arrive whole, each as one record.
TEST_F(DownloadTest, PacedDeviceAt110BaudIsAnsweredWhole) {
  const Bytes payload = RandomBytes(10, 11);
  sim::DongleOptions options;
  options.baud = 110;
  options.pace = true;
  StartSimulator(options);
  StartDownload(payload, 0);
  ExpectFinishedWith(payload);
  EXPECT_EQ(Stats().erases, 1) << "every answer was whole the first time";
}

// "Com settings" while the erase is unanswered closes the port; confirming
// reopens it and the retried erase carries the download on.
TEST_F(DownloadTest, ComSettingsMidDownloadKeepsItGoing) {
  const Bytes payload = RandomBytes(200, 5);
  sim::DongleOptions options;
  options.ignoreErase = 1;
  StartSimulator(options);
  StartDownload(payload);
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().erases == 1; }));
  bool downloadEnabled = true;
  ASSERT_TRUE(driver.WithModal([&] { driver.Click(res::IDC_COM_SETTINGS); },
                               [&](QDialog& dialog) {
                                 downloadEnabled = driver.Button(IDC_DOWNLOAD)->isEnabled();
                                 dialog.accept();
                               }));
  EXPECT_FALSE(downloadEnabled);
  EXPECT_EQ(driver.TopLine(), kOpened);
  ExpectFinishedWith(payload);
  EXPECT_EQ(driver.CountLines("No Open Com!"), 0);
}

// An unplugged adapter stalls the download without a false finish; "Com
// Close" still returns and frees Download; the cause goes to stderr once.
TEST_F(DownloadTest, UnpluggedDeviceStallsAndComCloseRecovers) {
  sim::DongleOptions options;
  options.hangupAfterBlock = 2;
  StartSimulator(options);
  testing::internal::CaptureStderr();
  StartDownload(RandomBytes(1280, 9));
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().hungUp; }));
  EXPECT_FALSE(WindowDriver::WaitFor([&] { return driver.TopLine() == kFinished; }, 500ms));
  EXPECT_TRUE(window.downloading());
  const auto before = std::chrono::steady_clock::now();
  driver.Click(IDC_COM_CLOSE);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s) << "Close hangs on a dead line";
  EXPECT_EQ(driver.TopLine(), QStringLiteral("Success to Close Com!"));
  EXPECT_FALSE(window.downloading());
  EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
  // Without its link COM3 is the adapter numbered 3, which may be plugged in here.
  if (PortResolver::ForThisUser().DevicePath(3).empty()) {
    EXPECT_EQ(driver.OpenPort(), QStringLiteral("Com has not opened!"));
  }
  EXPECT_EQ(driver.CountLines(kFinished), 0);
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
  EXPECT_FALSE(window.downloading());
  EXPECT_TRUE(window.timerActive(UpdaterDialog::TIMER_PROGRESS)) << "Com Close leaves it running";
  ASSERT_EQ(driver.OpenPort(), kOpened);
  driver.Click(IDC_DOWNLOAD);
  ExpectFinishedWith(payload);
  EXPECT_EQ(Stats().erases, 2);
}

// A failed extraction downloads nothing: not even what an earlier run left
// in the payload file. Updater without payload, this test program, damaged trailer.
TEST_F(DownloadTest, BadPayloadSourcesLogOpenFileFailureAndSendNothing) {
  StartSimulator();
  WriteFile(env.WorkFile("plain"), RandomBytes(3000, 9));
  const std::string damaged = MakeUpdater(RandomBytes(256, 10));
  std::fstream file(damaged, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(-1, std::ios::end);
  file.put('\x00');  // the magic's last byte
  file.close();
  for (const std::string& source : {env.WorkFile("plain"), std::string(), damaged}) {
    SCOPED_TRACE(source);
    WriteFile(PayloadDirectory() + '/' + kPayloadFileName, RandomBytes(300, 8));
    UpdaterDialog fresh;  // Download stays disabled after the failure
    WindowDriver freshDriver{fresh};
    fresh.SetPayloadSource(source);  // empty: this program's own file
    ASSERT_EQ(freshDriver.OpenPort(), kOpened);
    freshDriver.Click(IDC_DOWNLOAD);
    EXPECT_EQ(freshDriver.LogLines(), QStringList({"open File failure!", kOpened}));
    EXPECT_FALSE(fresh.downloading());
    EXPECT_FALSE(freshDriver.Button(IDC_DOWNLOAD)->isEnabled());
    EXPECT_FALSE(fresh.timerActive(UpdaterDialog::TIMER_PROGRESS));
    EXPECT_FALSE(fresh.timerActive(UpdaterDialog::TIMER_ERASE_RETRY));
    EXPECT_FALSE(WindowDriver::WaitFor([&] { return Stats().erases > 0; }, 300ms));
  }
}

}  // namespace
}  // namespace tevra::test
