// tevra-updater --download --watch as a flashing station runs it: started
// first, then dongle-sim processes publish COMn links one after another in a
// temporary ports directory; standard output is a pipe.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bundler/bundle.h"
#include "platform/unique_fd.h"
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

  // Plugs COM<port>, waits for its outcome, unplugs it.
  void Flash(ChildProcess& updater, int port) {
    auto sim = Plug(port);
    WaitFor(updater, "COM" + std::to_string(port) + ": done");
    EXPECT_EQ(Unplug(*sim), 1);
  }

  // The ports of the records in `name`, each followed by a line end.
  std::string RecordedPorts(const std::string& name) const {
    const Bytes bytes = ReadFile(env_.WorkFile(name));
    const std::string text(bytes.begin(), bytes.end());
    constexpr std::string_view kKey = "\"port\":\"";
    std::string ports;
    for (std::size_t at = text.find(kKey); at != std::string::npos; at = text.find(kKey, at)) {
      at += kKey.size();
      ports += text.substr(at, text.find('"', at) - at) + "\n";
    }
    return ports;
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

// A pseudo-terminal freed by a killed simulator (its link left behind) and
// given to the next one: each link that appears is a plug of its own. Private
// pseudo-terminals make the reuse certain.
TEST_F(WatchDownloadTest, LinksToAReusedNodeAreNewPlugs) {
  if (::unshare(CLONE_NEWNS) != 0) {
    GTEST_SKIP() << "no mount namespace of its own (needs root)";
  }
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ASSERT_EQ(::mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620"), 0);
  // B gets A's node once every file on it is closed. A holds its own until
  // it dies; the updater closes its port on a thread of its own: waited for
  // as the last open or close on the node, watched since before it existed.
  const UniqueFd pts(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  ASSERT_GE(::inotify_add_watch(pts.get(), "/dev/pts", IN_OPEN | IN_CLOSE), 0);
  auto updater = Watch({});
  auto com3 = Plug(3);
  const std::filesystem::path node = std::filesystem::read_symlink(env_.portsDir() + "/COM3");
  WaitFor(*updater, "COM3: done");
  alignas(inotify_event) std::array<char, 4096> events{};
  for (std::uint32_t last = 0; (last & IN_CLOSE) == 0;) {
    pollfd ready{pts.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, static_cast<int>(kCap.count())), 1);
    for (ssize_t got = 0; (got = ::read(pts.get(), events.data(), events.size())) > 0;) {
      for (ssize_t at = 0; at < got;) {
        inotify_event event{};
        std::memcpy(&event, events.data() + at, sizeof event);
        if (event.len > 0 && node.filename() == events.data() + at + sizeof event) {
          last = event.mask;
        }
        at += static_cast<ssize_t>(sizeof event + event.len);
      }
    }
  }
  com3->Signal(SIGKILL);
  EXPECT_EQ(com3->Finish(kCap), 128 + SIGKILL);
  auto com4 = Plug(4);
  ASSERT_EQ(std::filesystem::read_symlink(env_.portsDir() + "/COM4"), node);
  WaitFor(*updater, "COM4: done");
  std::filesystem::create_symlink(node, env_.portsDir() + "/COM8");
  WaitFor(*updater, "COM8: done");
  updater->Signal(SIGINT);
  EXPECT_EQ(updater->Finish(kCap), 130) << updater->Stderr();
  EXPECT_EQ(Unplug(*com4), 2);
}

// Stopped while more events pass than the kernel queues, COM3 unplugged and
// plugged again meanwhile: the replug is flashed all the same.
TEST_F(WatchDownloadTest, AReplugLostInAnOverflowIsFlashed) {
  auto updater = Watch({"--count", "2"});
  auto com3 = Plug(3);
  WaitFor(*updater, "COM3: done");
  updater->Signal(SIGSTOP);
  const std::string noise = env_.portsDir() + "/noise";
  for (int i = 0; i < 20000; ++i) {
    WriteFile(noise, {});
    ASSERT_EQ(::unlink(noise.c_str()), 0);
  }
  EXPECT_EQ(Unplug(*com3), 1);
  com3 = Plug(3);
  updater->Signal(SIGCONT);
  EXPECT_EQ(updater->Finish(kCap), 0) << updater->Stdout() << updater->Stderr();
  EXPECT_EQ(Unplug(*com3), 1);
}

// The report deleted, then rotated both ways logrotate does, while the
// station runs: each record is at the report's path when it is written.
TEST_F(WatchDownloadTest, RecordsGoToTheReportsPathOfTheirTime) {
  const std::string report = env_.WorkFile("report");
  const auto rotate = [&](const char* how) {
    const std::string conf = "\"" + report + "\" {\n  rotate 5\n  " + how + "\n}\n";
    WriteFile(env_.WorkFile("logrotate.conf"), Bytes(conf.begin(), conf.end()));
    ChildProcess logrotate("/usr/sbin/logrotate", {"-f", "-s", env_.WorkFile("logrotate.state"),
                                                   env_.WorkFile("logrotate.conf")});
    EXPECT_EQ(logrotate.Finish(kCap), 0) << logrotate.Stderr();
  };
  auto updater = Watch({});
  Flash(*updater, 3);
  std::filesystem::remove(report);
  Flash(*updater, 4);
  rotate("create");
  Flash(*updater, 5);
  rotate("copytruncate");
  Flash(*updater, 6);
  updater->Signal(SIGINT);
  EXPECT_EQ(updater->Finish(kCap), 130) << updater->Stderr();
  EXPECT_EQ(RecordedPorts("report.2"), "COM4\n");
  EXPECT_EQ(RecordedPorts("report.1"), "COM5\n");
  EXPECT_EQ(RecordedPorts("report"), "COM6\n");
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

// Another program holding the report's lock: a port that ends waits for it
// without holding back the station, the next plug is flashed meanwhile, and
// a stop ends the run at once, giving up the waiting records loudly.
TEST_F(WatchDownloadTest, AHeldReportHoldsNoPlugBack) {
  auto updater = Watch({"--timeout", "20"});
  auto holder = HoldLock(env_.WorkFile("report"), 10s, 30s);
  ASSERT_NE(holder, nullptr);
  auto com3 = Plug(3);
  WaitFor(*updater, "COM3: waiting for the report");
  EXPECT_EQ(Unplug(*com3), 1);
  auto com4 = Plug(4);
  WaitFor(*updater, "COM4: waiting for the report");
  const auto asked = std::chrono::steady_clock::now();
  updater->Signal(SIGTERM);
  EXPECT_EQ(updater->Finish(kCap), 143) << updater->Stderr();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - asked;
  std::printf("SIGTERM to exit with the report held: %.3f s\n", took.count());
  EXPECT_LT(took, 5s);
  for (const char* port : {"COM3", "COM4"}) {
    const std::string& out = updater->Stdout();
    const std::size_t at = out.find(port + std::string(": done: "));
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_TRUE(out.substr(at, out.find('\n', at) - at).ends_with("; not in the report")) << out;
    EXPECT_NE(updater->Stderr().find(std::string("the record of ") + port + " in the report"),
              std::string::npos)
        << updater->Stderr();
  }
  EXPECT_EQ(Unplug(*com4), 1);
  EXPECT_TRUE(Flashed(3) && Flashed(4));
  EXPECT_EQ(RecordedPorts("report"), "");
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
