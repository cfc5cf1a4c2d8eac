// The dongle-sim program as the demo and scripts run it. Its device and fault
// options are exercised by every download test; --socket and --tty by the
// real-driver tier.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tevra::test {
namespace {

constexpr std::chrono::milliseconds kCap{5000};

// A COMn that is no link, or that a live simulator serves, is left alone; a
// stopped simulator takes its own link away.
TEST(DongleSimProgramTest, PortThatIsNotOursIsLeftAlone) {
  const TempDir dir;
  const std::string link = dir.Path("COM3");
  const std::vector<std::string> args = {"--port", "COM3", "--ports-dir", dir.path()};
  WriteFile(link, {'u'});
  ChildProcess user(DONGLE_SIM_PATH, args);
  EXPECT_EQ(user.Finish(kCap), 1);
  EXPECT_EQ(ReadFile(link), Bytes{'u'});
  std::filesystem::remove(link);
  ChildProcess first(DONGLE_SIM_PATH, args);
  const std::string published = first.NextLine(kCap);
  ChildProcess second(DONGLE_SIM_PATH, args);
  EXPECT_EQ(second.Finish(kCap), 1);
  EXPECT_NE(second.Stderr().find("another running simulator"), std::string::npos)
      << second.Stderr();
  EXPECT_EQ("COM3 -> " + std::filesystem::read_symlink(link).string(), published);
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Finish(kCap), 0) << first.Stderr();
  EXPECT_FALSE(std::filesystem::is_symlink(link));
}

}  // namespace
}  // namespace tevra::test
