// DeviceNodeWatcher on real directories: a temporary folder stands in for /dev,
// another for the ports directory, which may appear only later.
#include "platform/device_node_watcher.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/temp_dir.h"

namespace tevra::test {
namespace {

// "+path" appeared, "-path" gone, relative to `root`.
std::vector<std::string> Changes(DeviceNodeWatcher& watcher, const std::string& root) {
  pollfd fd{watcher.fd(), POLLIN, 0};
  // inotify queues its events before the call that made them returns.
  EXPECT_GE(::poll(&fd, 1, 0), 0);
  std::vector<std::string> shown;
  for (const DeviceNodeWatcher::Change& change : watcher.Take()) {
    shown.push_back((change.appeared ? "+" : "-") + change.path.substr(root.size() + 1));
  }
  return shown;
}

void Touch(const std::string& path) {
  WriteFile(path, {});
}

void Link(const std::string& target, const std::string& link) {
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}

TEST(DeviceNodeWatcherTest, ReportsAdaptersPluggedAndUnpluggedOnly) {
  const TempDir root;
  const std::string dev = root.Path("dev");
  const std::string ports = root.Path("ports");
  std::filesystem::create_directories(dev);
  std::filesystem::create_directories(ports);
  Touch(dev + "/ttyUSB0");
  Link("/dev/null", ports + "/COM3");

  DeviceNodeWatcher watcher(dev, ports);
  ASSERT_TRUE(watcher.valid());
  EXPECT_EQ(watcher.Present(),
            (std::vector<std::string>{dev + "/ttyUSB0", ports + "/COM3"}));  // set order

  for (const char* other : {"ttyS0", "ttyUSB", "ttyACMx", "tty0", "COM3"}) {
    Touch(dev + "/" + other);
  }
  Link("/dev/null", ports + "/COM0");
  Link("/dev/null", ports + "/notes");
  EXPECT_EQ(Changes(watcher, root.path()), std::vector<std::string>{});

  Touch(dev + "/ttyACM12");
  Link("/dev/null", ports + "/COM7");
  ASSERT_EQ(::unlink((dev + "/ttyUSB0").c_str()), 0);
  Touch(dev + "/ttyUSB0");  // unplugged and plugged again: a new plug
  std::filesystem::rename(ports + "/COM3", ports + "/COM9");
  Link("/dev/zero", ports + "/COM9.new");
  std::filesystem::rename(ports + "/COM9.new", ports + "/COM9");  // ln -sf: replaced
  EXPECT_EQ(
      Changes(watcher, root.path()),
      (std::vector<std::string>{"+dev/ttyACM12", "+ports/COM7", "-dev/ttyUSB0", "+dev/ttyUSB0",
                                "-ports/COM3", "+ports/COM9", "-ports/COM9", "+ports/COM9"}));
}

TEST(DeviceNodeWatcherTest, FollowsAPortsDirectoryMadeLaterOrRemoved) {
  const TempDir root;
  const std::string dev = root.Path("dev");
  const std::string ports = root.Path("config/tevra/ports");
  std::filesystem::create_directories(dev);

  DeviceNodeWatcher watcher(dev, ports);
  ASSERT_TRUE(watcher.valid());
  EXPECT_TRUE(watcher.Present().empty());
  std::filesystem::create_directories(ports);
  Link("/dev/null", ports + "/COM4");  // before the directory's own watch
  EXPECT_EQ(Changes(watcher, root.path()), std::vector<std::string>{"+config/tevra/ports/COM4"});
  Link("/dev/null", ports + "/COM5");
  EXPECT_EQ(Changes(watcher, root.path()), std::vector<std::string>{"+config/tevra/ports/COM5"});

  std::filesystem::rename(ports, root.Path("old"));  // its links went with it
  EXPECT_EQ(Changes(watcher, root.path()),
            (std::vector<std::string>{"-config/tevra/ports/COM4", "-config/tevra/ports/COM5"}));
  Link("/dev/null", root.Path("old/COM6"));
  std::filesystem::create_directory(ports);
  Link("/dev/null", ports + "/COM4");
  EXPECT_EQ(Changes(watcher, root.path()), std::vector<std::string>{"+config/tevra/ports/COM4"});
}

// Events dropped by an overflowing queue: a name unplugged and plugged again
// meanwhile is told apart by what it is, not by its name; one left alone is
// not reported.
TEST(DeviceNodeWatcherTest, ReplugLostInAnOverflowIsReported) {
  const TempDir root;
  const std::string dev = root.Path("dev");
  const std::string ports = root.Path("ports");
  std::filesystem::create_directories(dev);
  std::filesystem::create_directories(ports);
  Touch(dev + "/ttyUSB0");
  Touch(dev + "/ttyUSB1");
  Link("/dev/null", ports + "/COM3");
  Link("/dev/null", ports + "/COM4");
  DeviceNodeWatcher watcher(dev, ports);
  ASSERT_TRUE(watcher.valid());

  // More than any queue holds (16384 events by default).
  for (int i = 0; i < 20000; ++i) {
    Touch(ports + "/noise");
    ASSERT_EQ(::unlink((ports + "/noise").c_str()), 0);
  }
  for (const std::string& name : {dev + "/ttyUSB0", ports + "/COM3"}) {
    ASSERT_EQ(::unlink(name.c_str()), 0);
  }
  Touch(dev + "/ttyUSB0");
  Link("/dev/null", ports + "/COM3");
  EXPECT_EQ(
      Changes(watcher, root.path()),
      (std::vector<std::string>{"-dev/ttyUSB0", "-ports/COM3", "+dev/ttyUSB0", "+ports/COM3"}));
}

TEST(DeviceNodeWatcherTest, InvalidWithoutADeviceDirectory) {
  const TempDir root;
  const DeviceNodeWatcher watcher(root.Path("missing"), root.path());
  EXPECT_FALSE(watcher.valid());
  EXPECT_TRUE(watcher.Present().empty());
}

}  // namespace
}  // namespace tevra::test
