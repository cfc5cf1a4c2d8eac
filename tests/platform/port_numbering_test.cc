// Automatic COM numbers over a fake sysfs and /dev tree shaped like the
// kernel's, with a real state file.
#include "platform/port_numbering.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
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
const FakeAdapter kFtdiClone{"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"};
const FakeAdapter kArduino{"2341", "0043", "Arduino (www.arduino.cc)", "", ""};
const std::string kFtdiKey = "usb:0403:6001:serial=A50285BI:if=00";
// NOLINTEND(cert-err58-cpp)

struct Plugged {
  const FakeAdapter* adapter;
  const char* tty;
  const char* usbPort;
};
using Names = std::map<unsigned, std::string>;  // COM number -> tty

Names NamesOf(const std::map<unsigned, SerialDevice>& ports) {
  Names names;
  for (const auto& [n, d] : ports) {
    names[n] = d.name;
  }
  return names;
}

class PortNumberingTest : public testing::Test {
 protected:
  void PlugOnly(const std::vector<Plugged>& plugged) {
    tree.UnplugAll();
    for (const Plugged& p : plugged) {
      tree.Plug(*p.adapter, p.tty, p.usbPort);
    }
  }
  PortNumbering Numbering(const std::string& dir) const {
    return {tree.sysfsRoot(), tree.devRoot(), dir};
  }

  FakeSerialTree tree;
  const std::string stateDir = tree.Path("state/tevra-updater");
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
      {"the second alone", {{&kArduino, "ttyACM0", "1-1.3"}}, {{1, "ttyS0"}, {4, "ttyACM0"}}},
      {"no serial number: another USB port is another adapter",
       {{&kArduino, "ttyACM0", "2-1"}},
       {{1, "ttyS0"}, {5, "ttyACM0"}}},
      {"two claiming one serial number",
       {{&kFtdiClone, "ttyUSB0", "1-1.9"}, {&kFtdi, "ttyUSB1", "1-1.2"}},
       {{1, "ttyS0"}, {3, "ttyUSB1"}, {6, "ttyUSB0"}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    PlugOnly(step.plugged);
    testing::internal::CaptureStderr();
    EXPECT_EQ(NamesOf(Numbering(stateDir).Scan()), step.expected);
    struct stat before {};
    (void)::stat((stateDir + "/ports").c_str(), &before);
    EXPECT_EQ(NamesOf(Numbering(stateDir).Scan()), step.expected);
    struct stat after {};
    (void)::stat((stateDir + "/ports").c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "rewritten without a change";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
}

// Whatever is wrong with the state, every adapter still gets a number.
TEST_F(PortNumberingTest, StateTroubleNeverStopsTheNumbering) {
  const std::string file = stateDir + "/ports";
  const std::string blocker = tree.Path("blocker");
  struct Trouble {
    const char* what;
    std::function<void()> make;
    std::string dir;
    const char* says;
    Names expected;
  };
  const Names fresh = {{1, "ttyS0"}, {3, "ttyUSB0"}, {4, "ttyACM0"}};
  const std::vector<Trouble> troubles = {
      {"damaged", [&] { std::ofstream(file) << "COM3 " << kFtdiKey << "\nrubbish\n"; }, stateDir,
       "is damaged at line 2: moved to", fresh},
      {"unreadable", [&] { fs::create_directory(file); }, stateDir, "cannot read", fresh},
      {"read-only",
       [&] {
         std::ofstream(file) << "COM7 " << kFtdiKey << "\n";
         fs::permissions(file, fs::perms::owner_read);
       },
       stateDir, "is read-only: COM3 (", Names{{1, "ttyS0"}, {3, "ttyACM0"}, {7, "ttyUSB0"}}},
      {"directory cannot be made", [&] { std::ofstream(blocker) << "a file\n"; },
       blocker + "/tevra-updater", "cannot write", fresh},
  };
  PlugOnly({{&kFtdi, "ttyUSB0", "1-1.2"}, {&kArduino, "ttyACM0", "1-1.3"}});
  for (const Trouble& t : troubles) {
    SCOPED_TRACE(t.what);
    fs::remove_all(stateDir);
    fs::create_directories(stateDir);
    t.make();
    testing::internal::CaptureStderr();
    EXPECT_EQ(NamesOf(Numbering(t.dir).Scan()), t.expected);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(t.says), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  // The damaged file was kept, and the fresh one is what a rescan uses.
  fs::remove_all(stateDir);
  fs::create_directories(stateDir);
  troubles[0].make();
  testing::internal::CaptureStderr();
  (void)Numbering(stateDir).Scan();
  (void)testing::internal::GetCapturedStderr();
  PlugOnly({{&kArduino, "ttyACM0", "1-1.3"}});
  testing::internal::CaptureStderr();
  EXPECT_EQ(NamesOf(Numbering(stateDir).Scan()), (Names{{1, "ttyS0"}, {4, "ttyACM0"}}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  std::ifstream damaged(file + ".damaged");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(damaged), {}),
            "COM3 " + kFtdiKey + "\nrubbish\n");
}

TEST_F(PortNumberingTest, LinksWinAndEveryNumberSaysWhatItIs) {
  PlugOnly({{&kFtdi, "ttyUSB0", "1-1.2"}, {&kArduino, "ttyACM0", "1-1.3"}});
  const std::string links = tree.Path("ports");
  fs::create_directories(links);
  const std::string dev = tree.devRoot();
  fs::create_symlink(dev + "/ttyACM0", links + "/COM3");
  fs::create_symlink(tree.Path("nowhere"), links + "/COM10");
  PortResolver ports(links, Numbering(stateDir));
  struct Row {
    unsigned n;
    std::string path;
    std::string text;
  };
  const std::vector<Row> rows = {
      {0, "", "no device"},
      {1, dev + "/ttyS0", dev + "/ttyS0 - built-in serial port"},
      {2, "", "no device"},
      {3, links + "/COM3", "linked to " + dev + "/ttyACM0"},
      {4, dev + "/ttyACM0", dev + "/ttyACM0 - Arduino (www.arduino.cc)"},
      {10, links + "/COM10", "linked to " + tree.Path("nowhere") + " - no such device"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.n);
    EXPECT_EQ(ports.DevicePath(r.n), r.path);
    EXPECT_EQ(ports.Describe(r.n), r.text);
  }
  EXPECT_EQ(ports.NumbersInUse(), "COM1, COM3, COM4, COM10");
  // The FTDI adapter still holds COM3 behind the link.
  fs::remove(links + "/COM3");
  EXPECT_EQ(PortResolver(links, Numbering(stateDir)).Describe(3),
            dev + "/ttyUSB0 - FTDI FT232R USB UART - serial A50285BI");
}

// Described as another user sees it: root may use any device.
TEST_F(PortNumberingTest, ADeviceTheUserMayNotUseSaysHowToFixIt) {
  PlugOnly({{&kFtdi, "ttyUSB0", "1-1.2"}});
  (void)Numbering(stateDir).Scan();
  fs::permissions(tree.Path(""), fs::perms(0755));
  fs::permissions(tree.devRoot() + "/ttyUSB0", fs::perms::none);
  std::array<int, 2> pipe{};
  ASSERT_EQ(::pipe(pipe.data()), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      ::_exit(1);
    }
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): the standard stream stays
    (void)std::freopen("/dev/null", "w", stderr);  // its state file is root's
    const std::string text = PortResolver(tree.Path("ports"), Numbering(stateDir)).Describe(3);
    ::_exit(::write(pipe[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0
                                                                                            : 1);
  }
  ::close(pipe[1]);
  std::string text(512, '\0');
  const ssize_t n = ::read(pipe[0], text.data(), text.size());
  ::close(pipe[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_GT(n, 0);
  text.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(text, tree.devRoot() +
                      "/ttyUSB0 - FTDI FT232R USB UART - serial A50285BI - no permission to use "
                      "it: join the dialout group (sudo usermod -aG dialout $USER) and log in "
                      "again");
}

}  // namespace
}  // namespace tevra::test
