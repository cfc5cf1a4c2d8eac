// A station names a new adapter while another updater holds the numbering's
// lock: the station's loop goes on, and the adapter still gets its COMn.
#include "cli/plug_namer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <filesystem>

#include "cli/port_targets.h"
#include "platform/port_numbering.h"
#include "platform/port_resolver.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_serial_tree.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(PlugNamerTest, ABusyNumberingLockHoldsOnlyTheNewAdaptersName) {
  FakeSerialTree tree;
  tree.Plug({"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"}, "ttyUSB7", "1-1.2");
  const std::string stateDir = tree.Path("state");
  const std::string portsDir = tree.Path("ports");
  std::filesystem::create_directories(stateDir);
  std::filesystem::create_directories(portsDir);
  // One process holds the lock and the output: it ends both when it ends.
  ChildProcess other("/bin/sh",
                     {"-c", R"(exec 9<"$0" && flock 9 && echo locked && exec sleep 60)", stateDir});
  ASSERT_EQ(other.NextLine(10s), "locked");

  PlugNamer namer([&](const std::string& path) {
    PortResolver resolver(portsDir, PortNumbering(tree.sysfsRoot(), tree.devRoot(), stateDir));
    return PlugTarget(path, portsDir, resolver);
  });
  ASSERT_TRUE(namer.valid());
  const Clock::time_point asked = Clock::now();
  namer.Request(9, tree.devRoot() + "/ttyUSB7");
  // The lock is waited for seconds; the loop must not be.
  EXPECT_LT(Clock::now() - asked, 1s);
  EXPECT_EQ(namer.pending(), 1U);

  pollfd ready{namer.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, 30'000), 1);
  const auto made = namer.Take();
  ASSERT_EQ(made.size(), 1U);
  EXPECT_EQ(made[0].first, 9U);
  EXPECT_EQ(made[0].second.name, "COM3");
  EXPECT_EQ(made[0].second.path, tree.devRoot() + "/ttyUSB7");
  EXPECT_EQ(namer.pending(), 0U);
  other.Signal(SIGTERM);
  (void)other.Finish(10s);
}

}  // namespace
}  // namespace tevra::test
