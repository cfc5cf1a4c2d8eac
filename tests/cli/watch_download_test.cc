// tevra-updater --download --watch as a flashing station runs it: started
// first, then dongle-sim processes publish COMn links one after another in a
// temporary ports directory; standard output is a pipe.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bundler/bundle.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kCap = std::chrono::milliseconds(60s);

class WatchDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(env_.WorkFile("payload"), payload_);
    std::string error;
    ASSERT_TRUE(PackBundle(TEVRA_UPDATER, env_.WorkFile("payload"), updater_, error)) << error;
  }

  // A simulator publishing COM<port>, once its link is there.
  std::unique_ptr<ChildProcess> Plug(int port, std::vector<std::string> faults = {}) {
    const std::string name = "COM" + std::to_string(port);
    std::vector<std::string> args = {"--port",        name,      "--ports-dir",
                                     env_.portsDir(), "--image", env_.WorkFile(name)};
    args.insert(args.end(), faults.begin(), faults.end());
    auto sim = std::make_unique<ChildProcess>(TEVRA_DONGLE_SIM, args);
    EXPECT_NE(sim->NextLine(10s).find(name + " -> "), std::string::npos) << name;
    return sim;
  }

  // Unplugs: the link goes, the line hangs up. How many erases it saw.
  static int Unplug(ChildProcess& sim) {
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Finish(kCap), 0) << sim.Stderr();
    int erases = 0;
    for (std::size_t at = sim.Stdout().find("\nerase\n"); at != std::string::npos;
         at = sim.Stdout().find("\nerase\n", at + 1)) {
      ++erases;
    }
    return erases;
  }

  std::unique_ptr<ChildProcess> Watch(std::vector<std::string> args) {
    args.insert(args.begin(), {"--download", "--watch", "--settle", "100", "--timeout", "1",
                               "--report", env_.WorkFile("report")});
    auto updater = std::make_unique<ChildProcess>(updater_, args);
    EXPECT_EQ(updater->NextLine(10s).rfind("firmware: 1000 bytes, sha256 ", 0), 0U);
    EXPECT_EQ(updater->NextLine(10s).rfind("watching /dev and ", 0), 0U);
    return updater;
  }

  // Reads the updater's output until it holds `text`.
  void WaitFor(ChildProcess& updater, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kCap;
    while (seen_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "no \"" << text << "\" in\n" << seen_;
        return;
      }
      seen_ += updater.NextLine(1s) + "\n";
    }
  }

  bool Flashed(int port) const {
    return ReadFile(env_.WorkFile("COM" + std::to_string(port))) == payload_;
  }

  IsolatedEnvironment env_;
  Bytes payload_ = RandomBytes(1000, 3);
  std::string updater_ = env_.WorkFile("updater");
  std::string seen_;
};

TEST_F(WatchDownloadTest, FlashesEachPlugOnceAndAgainAfterAReplug) {
  auto updater = Watch({});
  auto com3 = Plug(3);
  // The same device by a second name: one plug, flashed once.
  const std::filesystem::path com3Device = std::filesystem::read_symlink(env_.portsDir() + "/COM3");
  std::filesystem::create_symlink(com3Device, env_.portsDir() + "/COM8");
  auto com4 = Plug(4, {"--stop-after-block", "3"});
  auto com5 = Plug(5);
  WaitFor(*updater, "COM4: failed: the device gave no answer for 1 s at block 4 of 8");
  WaitFor(*updater, "COM3: done");
  WaitFor(*updater, "COM5: done");
  EXPECT_EQ(Unplug(*com4), 1);
  com4 = Plug(4);
  WaitFor(*updater, "COM4: done");
  updater->Signal(SIGINT);
  EXPECT_EQ(updater->Finish(kCap), 130) << updater->Stderr();
  EXPECT_NE(updater->Stdout().find("watched: 3 flashed, 1 failed\n"), std::string::npos)
      << updater->Stdout();
  for (auto* sim : {com3.get(), com4.get(), com5.get()}) {
    EXPECT_EQ(Unplug(*sim), 1);
  }
  EXPECT_TRUE(Flashed(3) && Flashed(4) && Flashed(5));
  // One record per outcome.
  const Bytes bytes = ReadFile(env_.WorkFile("report"));
  const std::string report(bytes.begin(), bytes.end());
  const auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (std::size_t at = report.find(text); at != std::string::npos;
         at = report.find(text, at + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_EQ(count("\n"), 4U) << report;
  EXPECT_EQ(count("\"result\":\"done\""), 3U) << report;
  EXPECT_EQ(count("\"result\":\"failed\""), 1U) << report;
}

// Named ports at the start, others there at the start left alone, one
// unplugged within its settle time left alone, no download beyond --count.
TEST_F(WatchDownloadTest, CountEndsTheRunAfterItsOutcomes) {
  auto named = Plug(3);
  auto present = Plug(4);
  auto updater = Watch({"--port", "COM3", "--count", "2", "--settle", "3000"});
  EXPECT_EQ(Unplug(*Plug(5)), 0);
  auto com6 = Plug(6);
  auto com7 = Plug(7);
  EXPECT_EQ(updater->Finish(kCap), 0) << updater->Stdout() << updater->Stderr();
  EXPECT_NE(updater->Stdout().find("watched: 2 flashed, 0 failed\n"), std::string::npos)
      << updater->Stdout();
  EXPECT_EQ(Unplug(*named), 1);
  EXPECT_EQ(Unplug(*present), 0);
  EXPECT_EQ(Unplug(*com6), 1);
  EXPECT_EQ(Unplug(*com7), 0);
}

// `ln -sf` of a link to the device being flashed: the same plug, not a
// second download that would find the port busy and count as a failure.
TEST_F(WatchDownloadTest, ALinkMadeAgainDuringItsDownloadIsTheSamePlug) {
  auto updater = Watch({"--count", "2", "--timeout", "20"});
  // Answers at 2400 baud: the download takes seconds, the settle 100 ms.
  auto com3 = Plug(3, {"--pace", "--baud", "2400"});
  WaitFor(*updater, "COM3: opened");
  const std::string link = env_.portsDir() + "/COM3";
  ChildProcess ln("/bin/ln", {"-sf", std::filesystem::read_symlink(link).string(), link});
  EXPECT_EQ(ln.Finish(kCap), 0) << ln.Stderr();
  WaitFor(*updater, "COM3: done");
  auto com4 = Plug(4);
  EXPECT_EQ(updater->Finish(kCap), 0) << updater->Stdout() << updater->Stderr();
  EXPECT_NE(updater->Stdout().find("watched: 2 flashed, 0 failed\n"), std::string::npos)
      << updater->Stdout();
  EXPECT_EQ(Unplug(*com3), 1);
  EXPECT_TRUE(Flashed(3) && Flashed(4));
}

TEST_F(WatchDownloadTest, CtrlCInterruptsRunningDownloads) {
  auto updater = Watch({"--timeout", "20"});
  // Answers at 600 baud: each download takes about 20 s.
  auto com3 = Plug(3, {"--pace", "--baud", "600"});
  auto com4 = Plug(4, {"--pace", "--baud", "600"});
  WaitFor(*updater, "COM3: opened");
  WaitFor(*updater, "COM4: opened");
  updater->Signal(SIGINT);
  EXPECT_EQ(updater->Finish(kCap), 130) << updater->Stderr();
  const std::string& out = updater->Stdout();
  EXPECT_NE(out.find("COM3: interrupted "), std::string::npos) << out;
  EXPECT_NE(out.find("COM4: interrupted "), std::string::npos) << out;
  EXPECT_NE(out.find("watched: 0 flashed, 0 failed, 2 interrupted\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace tevra::test
