// Downloads end to end: the real window and port, and the simulator on a
// pseudo-terminal published as COM3.
#include <gtest/gtest.h>

#include <QProgressBar>
#include <QPushButton>
#include <chrono>
#include <string>
#include <vector>

#include "res/resource.h"
#include "sim/dongle_simulator.h"
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
  void StartDownload(const Bytes& payload) {
    StartSimulator(sim::DongleOptions{});
    window.SetPayloadSource(MakeUpdater(payload));
    ASSERT_EQ(driver.OpenPort(), kOpened);
    driver.Click(IDC_DOWNLOAD);
  }
  sim::DongleStats Stats() const { return simulator->Stats(); }

  IsolatedEnvironment env;
  std::unique_ptr<sim::DongleSimulator> simulator;
  UpdaterDialog window;
  WindowDriver driver{window};
};

TEST_F(DownloadTest, FullPayloadArrivesByteForByteAs128BlocksAfterOneErase) {
  const Bytes payload = RandomBytes(16384, 1);
  StartDownload(payload);
  // The finish is logged once the last block is queued; the device holds it a moment later.
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return driver.TopLine() == kFinished; }, 90s));
  ASSERT_TRUE(WindowDriver::WaitFor([&] { return Stats().image.size() == payload.size(); }));
  EXPECT_TRUE(Stats().image == payload) << "the device's image differs from the payload";
  EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
  EXPECT_EQ(Stats().erases, 1);
  EXPECT_EQ(Stats().blockLengths, std::vector<std::size_t>(128, 128));
  auto* progress = driver.Control<QProgressBar>(res::IDC_PROGRESS);
  EXPECT_LT(progress->value(), progress->minimum());
}

}  // namespace
}  // namespace tevra::test
