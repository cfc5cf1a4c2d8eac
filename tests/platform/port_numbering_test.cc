#include "platform/port_numbering.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/port_resolver.h"
#include "tests/support/fake_serial_tree.h"

namespace tevra::test {
namespace {

namespace fs = std::filesystem;

// NOLINTBEGIN(cert-err58-cpp): test constants; a failure here is a failed start
const FakeAdapter kFtdi{"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"};
const FakeAdapter kArduino{"2341", "0043", "Arduino (www.arduino.cc)", "", ""};
const std::string kFtdiKey = "usb:0403:6001:serial=A50285BI:if=00";
// NOLINTEND(cert-err58-cpp)

struct Plugged {
  const FakeAdapter* adapter;
  const char* tty;
  const char* usbPort;
};
using Names = std::map<unsigned, std::string>;  // COM number -> tty

class PortNumberingTest : public testing::Test {
 protected:
  // Plugs exactly these, then scans with the state in `dir`.
  Names Scan(const std::vector<Plugged>& plugged, const std::string& dir) const {
    tree.UnplugAll();
    for (const Plugged& p : plugged) {
      tree.Plug(*p.adapter, p.tty, p.usbPort);
    }
    Names names;
    for (const auto& [n, d] : PortNumbering(tree.sysfsRoot(), tree.devRoot(), dir).Scan()) {
      names[n] = d.name;
    }
    return names;
  }

  FakeSerialTree tree;
  const std::string stateDir = tree.Path("state");
  const std::string stateFile = stateDir + "/ports";
};

TEST_F(PortNumberingTest, AdaptersKeepTheirNumberWhateverTheOrderAndTheKernelName) {
  struct Step {
    const char* what;
    std::vector<Plugged> plugged;
    Names expected;
  };
  const std::vector<Step> steps = {
      {"only the UART that exists", {}, {{1, "ttyS0"}}},
      {"first adapter", {{&kFtdi, "ttyUSB0", "1-1.2"}}, {{1, "ttyS0"}, {3, "ttyUSB0"}}},
      {"second adapter",
       {{&kFtdi, "ttyUSB0", "1-1.2"}, {&kArduino, "ttyACM0", "1-1.3"}},
       {{1, "ttyS0"}, {3, "ttyUSB0"}, {4, "ttyACM0"}}},
      {"replugged in the other order, renamed and moved",
       {{&kArduino, "ttyACM0", "1-1.3"}, {&kFtdi, "ttyUSB1", "1-1.4"}},
       {{1, "ttyS0"}, {3, "ttyUSB1"}, {4, "ttyACM0"}}},
      {"no serial number: another USB port is another adapter",
       {{&kArduino, "ttyACM0", "2-1"}},
       {{1, "ttyS0"}, {5, "ttyACM0"}}},
      {"two claiming one serial number",
       {{&kFtdi, "ttyUSB0", "1-1.9"}, {&kFtdi, "ttyUSB1", "1-1.2"}},
       {{1, "ttyS0"}, {3, "ttyUSB1"}, {6, "ttyUSB0"}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Scan(step.plugged, stateDir), step.expected);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
}

TEST_F(PortNumberingTest, StateTroubleNeverStopsTheNumbering) {
  const std::string damaged = "COM3 " + kFtdiKey + "\nrubbish\n";
  struct Trouble {
    const char* what;
    std::function<void()> make;
    std::string dir;
    const char* says;
    Names expected;
  };
  const Names fresh = {{1, "ttyS0"}, {3, "ttyUSB0"}, {4, "ttyACM0"}};
  const std::vector<Trouble> troubles = {
      {"unreadable", [&] { fs::create_directory(stateFile); }, stateDir, "cannot read", fresh},
      {"read-only",
       [&] {
         std::ofstream(stateFile) << "COM7 " << kFtdiKey << "\n";
         fs::permissions(stateFile, fs::perms::owner_read);
       },
       stateDir, "is read-only: COM3 (", Names{{1, "ttyS0"}, {3, "ttyACM0"}, {7, "ttyUSB0"}}},
      // Last: the damaged file is moved aside and a good one takes its place.
      {"damaged", [&] { std::ofstream(stateFile) << damaged; }, stateDir,
       "is damaged at line 2: moved to", fresh},
  };
  const std::vector<Plugged> both = {{&kFtdi, "ttyUSB0", "1-1.2"}, {&kArduino, "ttyACM0", "1-1.3"}};
  for (const Trouble& t : troubles) {
    SCOPED_TRACE(t.what);
    fs::remove_all(stateDir);
    fs::create_directories(stateDir);
    t.make();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Scan(both, t.dir), t.expected);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(t.says), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(Scan({{&kArduino, "ttyACM0", "1-1.3"}}, stateDir),
            (Names{{1, "ttyS0"}, {4, "ttyACM0"}}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  std::ifstream aside(stateFile + ".damaged");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(aside), {}), damaged);
}

// Each kind of row of the settings dialog, as its tooltip shows it; a link
// wins over the number the adapter has.
TEST_F(PortNumberingTest, EachKindOfRowIsDescribed) {
  (void)Scan({{&kFtdi, "ttyUSB0", "1-1.2"}, {&kArduino, "ttyACM0", "1-1.3"}}, stateDir);
  const std::string ports = tree.Path("ports");
  fs::create_directories(ports);
  fs::create_symlink(tree.devRoot() + "/ttyACM0", ports + "/COM5");
  PortResolver resolver(ports, {tree.sysfsRoot(), tree.devRoot(), stateDir});
  const std::string dev = tree.devRoot();
  EXPECT_EQ(resolver.Describe(1), dev + "/ttyS0 - built-in serial port");
  EXPECT_EQ(resolver.Describe(2), "no device");
  EXPECT_EQ(resolver.Describe(3), dev + "/ttyUSB0 - FTDI FT232R USB UART - serial A50285BI");
  EXPECT_EQ(resolver.Describe(4), dev + "/ttyACM0 - Arduino (www.arduino.cc)");
  EXPECT_EQ(resolver.Describe(5), "linked to " + dev + "/ttyACM0");
  EXPECT_EQ(resolver.NumbersInUse(), "COM1, COM3, COM4, COM5");
}

// Described as another user sees it: root may use any device.
TEST_F(PortNumberingTest, ADeviceTheUserMayNotUseSaysHowToFixIt) {
  (void)Scan({{&kFtdi, "ttyUSB0", "1-1.2"}}, stateDir);
  fs::permissions(tree.Path(""), fs::perms(0755));
  fs::permissions(tree.devRoot() + "/ttyUSB0", fs::perms::none);
  const std::string expected =
      tree.devRoot() +
      "/ttyUSB0 - FTDI FT232R USB UART - serial A50285BI - no permission to use it: join the "
      "dialout group (sudo usermod -aG dialout $USER) and log in again";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      ::_exit(2);
    }
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): its state file is root's
    (void)std::freopen("/dev/null", "w", stderr);
    const std::string text =
        PortResolver("/nonexistent", {tree.sysfsRoot(), tree.devRoot(), stateDir}).Describe(3);
    std::printf("described as: %s\n", text.c_str());
    std::fflush(stdout);
    ::_exit(text == expected ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0) << expected;
}

}  // namespace
}  // namespace tevra::test
