// A station names a new adapter while another updater holds the numbering's
// lock: the station's loop goes on, and the adapter gets its COMn, numbered
// and remembered once the lock is had.
#include "cli/plug_namer.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <filesystem>
#include <stop_token>

#include "cli/port_targets.h"
#include "platform/port_numbering.h"
#include "platform/port_resolver.h"
#include "tests/support/bytes.h"
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
  // Longer than a window waits for it: the station waits it out.
  auto other = HoldLock(stateDir, 10s, 7s);
  ASSERT_NE(other, nullptr);

  PlugNamer namer([&](const std::string& path, std::stop_token stop) {
    PortResolver resolver(portsDir, PortNumbering(tree.sysfsRoot(), tree.devRoot(), stateDir,
                                                  {kPlugNamingLockWait, std::move(stop)}));
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
  // Numbered under the lock, once the other let go: remembered.
  const Bytes state = ReadFile(stateDir + "/ports");
  EXPECT_NE(std::string(state.begin(), state.end()).find("COM3 1 usb:0403:6001:serial=A50285BI"),
            std::string::npos);
}

// A run that ends while a naming waits for the lock does not wait with it.
TEST(PlugNamerTest, AnEndingRunDoesNotWaitForTheNumberingLock) {
  FakeSerialTree tree;
  tree.Plug({"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"}, "ttyUSB7", "1-1.2");
  const std::string stateDir = tree.Path("state");
  std::filesystem::create_directories(stateDir);
  auto other = HoldLock(stateDir, 10s);
  ASSERT_NE(other, nullptr);
  Clock::time_point asked;
  {
    PlugNamer namer([&](const std::string& path, std::stop_token stop) {
      PortResolver resolver(tree.Path("ports"),
                            PortNumbering(tree.sysfsRoot(), tree.devRoot(), stateDir,
                                          {kPlugNamingLockWait, std::move(stop)}));
      return PlugTarget(path, tree.Path("ports"), resolver);
    });
    namer.Request(1, tree.devRoot() + "/ttyUSB7");
    asked = Clock::now();
  }
  EXPECT_LT(Clock::now() - asked, 3s);
}

}  // namespace
}  // namespace tevra::test
