// Downloads end to end: the real window and port, and the simulator on a
// pseudo-terminal published as COM3.
#include <gtest/gtest.h>

#include <QProgressBar>
#include <QPushButton>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "payload/payload_paths.h"
#include "res/resource.h"
#include "sim/dongle_simulator.h"
#include "tests/support/elf_program.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"
#include "ui/updater_dialog.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;
using res::IDC_DOWNLOAD;

constexpr QLatin1String kOpened{"Com has opened already!"};
constexpr QLatin1String kFinished{"File download finish!"};

class DownloadTest : public testing::Test {
 protected:
  std::string MakeUpdater(const Bytes& payload) {
    std::string error;
    std::string updater = WindowDriver::BundledUpdater(env, payload, error);
    EXPECT_FALSE(updater.empty()) << error;
    return updater;
  }
  void StartSimulator(sim::DongleOptions options) {
    options.port = 3;
    options.portsDir = env.portsDir();
    simulator = std::make_unique<sim::DongleSimulator>(options);
    std::string error;
    ASSERT_TRUE(simulator->Start(&error)) << error;
  }
  void StartDownload(const Bytes& payload, void (*tweak)(sim::DongleOptions&) = nullptr,
                     int baudRow = -1) {
    sim::DongleOptions options;
    if (tweak != nullptr)
      tweak(options);
    StartSimulator(options);
    window.SetPayloadSource(MakeUpdater(payload));
    ASSERT_EQ(driver.OpenPort(-1, baudRow), kOpened);
    driver.Click(IDC_DOWNLOAD);
  }
  sim::DongleStats Stats() const { return simulator->Stats(); }
  // The finish is logged once the last block is queued; the device holds it a moment later.
  void ExpectFinishedWith(const Bytes& payload, std::chrono::milliseconds cap = kWaitCap) {
    ASSERT_TRUE(WindowDriver::WaitFor([&] { return driver.TopLine() == kFinished; }, cap));
    ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().image.size() == payload.size(); }));
    EXPECT_TRUE(Stats().image == payload) << "the device's image differs from the payload";
    EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
  }

  IsolatedEnvironment env;
  std::unique_ptr<sim::DongleSimulator> simulator;
  UpdaterDialog window;
  WindowDriver driver{window};
};

TEST_F(DownloadTest, FullPayloadArrivesByteForByteAs128BlocksAfterOneErase) {
  const Bytes payload = RandomBytes(16384, 1);
  StartDownload(payload);
  ExpectFinishedWith(payload, 90s);
  EXPECT_EQ(Stats().erases, 1);
  EXPECT_EQ(Stats().blockLengths, std::vector<std::size_t>(128, 128));
  auto* progress = driver.Control<QProgressBar>(res::IDC_PROGRESS);
  EXPECT_LT(progress->value(), progress->minimum());
}

// At 110 baud a character takes as long as the 100 ms gap: the answers must
// still arrive whole, each as one record.
TEST_F(DownloadTest, PacedDeviceAt110BaudIsAnsweredWhole) {
  const Bytes payload = RandomBytes(10, 11);
  StartDownload(
      payload, [](sim::DongleOptions& o) { o.baud = 110, o.pace = true; }, 0);
  ExpectFinishedWith(payload);
  EXPECT_EQ(Stats().erases, 1) << "every answer was whole the first time";
}

// Sent is not delivered: a device that takes the last block but never
// accepts it (it reset, or the block was garbled) leaves the download
// running, until "Com Close" abandons it.
TEST_F(DownloadTest, FinishWaitsForTheDevicesAcceptanceOfTheLastBlock) {
  StartDownload(RandomBytes(200, 4), [](sim::DongleOptions& o) { o.dropBlock = 2; });
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().silent; }));
  EXPECT_FALSE(WindowDriver::WaitFor([&] { return driver.TopLine() == kFinished; }, 1s));
  EXPECT_TRUE(window.downloading());
  EXPECT_FALSE(driver.Button(IDC_DOWNLOAD)->isEnabled());
  driver.Click(res::IDC_COM_CLOSE);
  EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
  EXPECT_EQ(driver.CountLines(kFinished), 0);
}

// "Com settings" while the erase is unanswered closes the port; confirming
// reopens it and the retried erase carries the download on.
TEST_F(DownloadTest, ComSettingsMidDownloadKeepsItGoing) {
  const Bytes payload = RandomBytes(200, 5);
  StartDownload(payload, [](sim::DongleOptions& o) { o.ignoreErase = 1; });
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().erases == 1; }));
  ASSERT_TRUE(driver.WithModal([&] { driver.Click(res::IDC_COM_SETTINGS); },
                               [](QDialog& dialog) { dialog.accept(); }));
  EXPECT_EQ(driver.TopLine(), kOpened);
  ExpectFinishedWith(payload);
}

// An unplugged adapter ends the download without a false finish, Download
// comes back, "Com Close" still returns; each cause goes to stderr once.
TEST_F(DownloadTest, UnpluggedDeviceEndsTheDownloadWithItsCause) {
  testing::internal::CaptureStderr();
  StartDownload(RandomBytes(1280, 9), [](sim::DongleOptions& o) { o.hangupAfterBlock = 2; });
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().hungUp; }));
  EXPECT_TRUE(WindowDriver::WaitFor([&] { return driver.Button(IDC_DOWNLOAD)->isEnabled(); }));
  EXPECT_NE(driver.TopLine(), kFinished);
  driver.Click(res::IDC_COM_CLOSE);
  EXPECT_EQ(driver.TopLine(), QStringLiteral("Success to Close Com!"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("hung up or was unplugged"), std::string::npos) << err;
  EXPECT_EQ(err.find("hung up"), err.rfind("hung up")) << err;
  EXPECT_NE(err.find("the device was disconnected at block 3 of 10"), std::string::npos) << err;
}

// A failed extraction downloads nothing, not even what an earlier run left in
// the payload file: this test program (no payload), a damaged trailer, a
// trailer that says 0 bytes.
TEST_F(DownloadTest, BadPayloadSourcesLogOpenFileFailureAndSendNothing) {
  StartSimulator(sim::DongleOptions{});
  const std::string damaged = MakeUpdater(RandomBytes(256, 10));
  std::fstream file(damaged, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(-1, std::ios::end);
  file.put('\x00');  // the magic's last byte
  file.close();
  const std::string empty = env.WorkFile("empty-trailer");
  WriteFile(empty, Concat(ElfProgram(3000, 7), {0, 0, 0, 0, 0x55, 0x81, 0x18, 0x55}));
  for (const std::string& source : {std::string(), damaged, empty}) {
    SCOPED_TRACE(source);
    WriteFile(PayloadDirectory() + '/' + kPayloadFileName, RandomBytes(300, 8));
    UpdaterDialog fresh;
    WindowDriver freshDriver{fresh};
    fresh.SetPayloadSource(source);  // empty: this program's own file
    ASSERT_EQ(freshDriver.OpenPort(), kOpened);
    freshDriver.Click(IDC_DOWNLOAD);
    EXPECT_EQ(freshDriver.LogLines(), QStringList({"open File failure!", kOpened}));
    EXPECT_FALSE(freshDriver.Button(IDC_DOWNLOAD)->isEnabled());
    EXPECT_FALSE(WindowDriver::WaitFor([&] { return Stats().erases > 0; }, 300ms));
  }
}

}  // namespace
}  // namespace tevra::test
