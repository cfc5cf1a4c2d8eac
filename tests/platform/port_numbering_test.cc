#include "platform/port_numbering.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>  // mkfifo
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/port_resolver.h"
#include "platform/unique_fd.h"
#include "tests/support/fake_serial_tree.h"

namespace tevra::test {
namespace {

namespace fs = std::filesystem;

// NOLINTBEGIN(cert-err58-cpp): test constants; a failure here is a failed start
const FakeAdapter kFtdi{"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"};
const FakeAdapter kArduino{"2341", "0043", "Arduino (www.arduino.cc)", "Uno\x1b[2J", ""};
const std::string kFtdiKey = "usb:0403:6001:serial=A50285BI:if=00";
// NOLINTEND(cert-err58-cpp)

struct Plugged {
  const FakeAdapter* adapter;
  const char* tty;
  const char* usbPort;
};
using Names = std::map<unsigned, std::string>;  // COM number -> tty

Names Numbers(const FakeSerialTree& tree, const std::string& stateDir) {
  Names names;
  for (const auto& [n, d] : PortNumbering(tree.sysfsRoot(), tree.devRoot(), stateDir).Scan()) {
    names[n] = d.name;
  }
  return names;
}

long Lines(const std::string& file) {
  std::ifstream in(file);
  return std::count(std::istreambuf_iterator<char>(in), {}, '\n');
}

// The child's exit status; -1 when a signal ended it or it did not end within
// a minute (it is then killed).
int Reap(pid_t child) {
  for (int tries = 0; tries < 6000; ++tries) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  (void)::kill(child, SIGKILL);
  (void)::waitpid(child, nullptr, 0);
  return -1;
}

class PortNumberingTest : public testing::Test {
 protected:
  // Plugs exactly these, then scans.
  Names Scan(const std::vector<Plugged>& plugged) const {
    tree.UnplugAll();
    for (const Plugged& p : plugged) {
      tree.Plug(*p.adapter, p.tty, p.usbPort);
    }
    return Numbers(tree, stateDir);
  }

  FakeSerialTree tree;
  const std::string stateDir = tree.Path("state");
  const std::string stateFile = stateDir + "/ports";
};

TEST_F(PortNumberingTest, NumbersFollowWhatIsPluggedInNow) {
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
      {"the next dongle; without a serial number another socket is another adapter",
       {{&kArduino, "ttyACM0", "2-1"}},
       {{1, "ttyS0"}, {3, "ttyACM0"}}},
      {"back alone", {{&kArduino, "ttyACM0", "1-1.3"}}, {{1, "ttyS0"}, {4, "ttyACM0"}}},
      {"back while the one seen later holds its number",
       {{&kFtdi, "ttyUSB0", "1-1.2"},
        {&kArduino, "ttyACM0", "2-1"},
        {&kArduino, "ttyACM1", "1-1.3"}},
       {{1, "ttyS0"}, {3, "ttyACM0"}, {4, "ttyACM1"}, {5, "ttyUSB0"}}},
      {"keeps the number it was given",
       {{&kFtdi, "ttyUSB0", "1-1.2"}},
       {{1, "ttyS0"}, {5, "ttyUSB0"}}},
      {"two claiming one serial number",
       {{&kFtdi, "ttyUSB0", "1-1.9"}, {&kFtdi, "ttyUSB1", "1-1.2"}},
       {{1, "ttyS0"}, {3, "ttyUSB0"}, {5, "ttyUSB1"}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Scan(step.plugged), step.expected);
    // As the window's list and the port it opens later see it.
    EXPECT_EQ(Scan(step.plugged), step.expected);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
}

TEST_F(PortNumberingTest, TheStateForgetsTheAdapterSeenLeastRecentlyPastSixtyFour) {
  fs::create_directories(stateDir);
  std::ofstream file(stateFile);
  file << "COM4 1 " << kFtdiKey << "\n";
  for (int seen = 2; seen <= 64; ++seen) {
    file << "COM5 " << seen << " usb:0403:6001:serial=S" << seen << ":if=00\n";
  }
  file.close();
  const FakeAdapter s2{"0403", "6001", "FTDI", "", "S2"};
  // The FTDI is forgotten first; S2, once seen again, after the others.
  const std::vector<std::pair<const FakeAdapter*, unsigned>> steps = {
      {&kArduino, 3}, {&s2, 5}, {&kFtdi, 3}, {&s2, 5}};
  for (const auto& [adapter, n] : steps) {
    EXPECT_EQ(Scan({{adapter, "ttyUSB0", "1-1.2"}}), (Names{{1, "ttyS0"}, {n, "ttyUSB0"}}));
  }
  EXPECT_EQ(Lines(stateFile), 65);  // and a header
}

TEST_F(PortNumberingTest, StateTroubleNeverStopsTheNumbering) {
  const std::string damaged = "COM3 " + kFtdiKey + "\nrubbish\n";
  struct Trouble {
    std::function<void()> make;
    const char* says;
    Names expected;
  };
  const Names fresh = {{1, "ttyS0"}, {3, "ttyUSB0"}, {4, "ttyACM0"}};
  auto write = [&](const std::string& text) { std::ofstream(stateFile) << text; };
  const std::vector<Trouble> troubles = {
      {[&] { ASSERT_EQ(::mkfifo(stateFile.c_str(), 0600), 0); }, "is a FIFO, not a regular file",
       fresh},
      {[&] { fs::create_symlink(tree.devRoot() + "/ttyS0", stateFile); },
       "is a link, not a regular file", fresh},
      {[&] { write("COM7 1 " + kFtdiKey + "\n" + std::string(std::size_t{300} * 1024, '#')); },
       "is larger than 256 KiB: moved to", fresh},
      {[&] {  // as older versions wrote it
         write("COM7 " + kFtdiKey + "\n");
         fs::permissions(stateFile, fs::perms::owner_read);
       },
       "is read-only: COM3 (", Names{{1, "ttyS0"}, {3, "ttyACM0"}, {7, "ttyUSB0"}}},
      // Last: the damaged file is kept aside.
      {[&] { write(damaged); }, "is damaged at line 2: moved to", fresh},
  };
  const std::vector<Plugged> both = {{&kFtdi, "ttyUSB0", "1-1.2"}, {&kArduino, "ttyACM0", "1-1.3"}};
  for (const Trouble& t : troubles) {
    SCOPED_TRACE(t.says);
    fs::remove_all(stateDir);
    fs::create_directories(stateDir);
    t.make();
    testing::internal::CaptureStderr();
    auto scan = std::async(std::launch::async, [&] { return Scan(both); });
    if (scan.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the scan is blocked";
      (void)UniqueFd(::open(stateFile.c_str(), O_WRONLY | O_NONBLOCK));  // lets a reader go on
    }
    EXPECT_EQ(scan.get(), t.expected);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(t.says), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  std::ifstream aside(stateFile + ".damaged");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(aside), {}), damaged);
}

// Each updater plugs in, one by one, adapters whose keys sort newest first:
// an adapter the other updater's save dropped would come back as new and be
// numbered by key, not where it was.
TEST_F(PortNumberingTest, TwoUpdatersNumberingAtOnceLoseNothing) {
  constexpr int kAdapters = 30;
  const std::array<FakeSerialTree, 2> trees;
  std::array<pid_t, 2> children{};
  for (std::size_t c = 0; c < children.size(); ++c) {
    children[c] = ::fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      Names expected = {{1, "ttyS0"}};
      for (int i = 0; i < kAdapters; ++i) {
        const std::string tty = "ttyUSB" + std::to_string(i);
        const FakeAdapter a{"0403", "6001", "", "",
                            std::to_string(c) + "-" + std::to_string(99 - i)};
        trees.at(c).Plug(a, tty, "1-" + std::to_string(i + 1));
        expected[static_cast<unsigned>(3 + i)] = tty;
        if (Numbers(trees.at(c), stateDir) != expected) {
          (void)std::fprintf(stderr, "updater %zu, adapter %d: numbered otherwise\n", c, i);
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
  }
  for (const pid_t child : children) {
    EXPECT_EQ(Reap(child), 0);
  }
  EXPECT_EQ(Lines(stateFile), 2 * kAdapters + 1);
}

// Each kind of row of the settings dialog, as its tooltip shows it; a link
// wins over the number the adapter had, which then takes another. What the
// device and the link say cannot steer a terminal.
TEST_F(PortNumberingTest, EachKindOfRowIsDescribed) {
  (void)Scan({{&kFtdi, "ttyUSB0", "1-1.2"}, {&kArduino, "ttyACM0", "1-1.3"}});
  const std::string ports = tree.Path("ports");
  const std::string dev = tree.devRoot();
  fs::create_directories(ports);
  fs::create_symlink(dev + "/ttyACM0\x1b]0;x\a", ports + "/COM3");
  PortResolver resolver(ports, {tree.sysfsRoot(), dev, stateDir});
  EXPECT_EQ(resolver.Describe(1), dev + "/ttyS0 - built-in serial port");
  EXPECT_EQ(resolver.Describe(2), "no device");
  EXPECT_EQ(resolver.Describe(3), "linked to " + dev + "/ttyACM0\\x1B]0;x\\x07 - no such device");
  EXPECT_EQ(resolver.Describe(4), dev + "/ttyACM0 - Arduino (www.arduino.cc) Uno\\x1B[2J");
  EXPECT_EQ(resolver.Describe(5), dev + "/ttyUSB0 - FTDI FT232R USB UART - serial A50285BI");
  EXPECT_EQ(resolver.NumbersInUse(), "COM1, COM3, COM4, COM5");
  // What the report says of a device, found by its node.
  const std::optional<SerialDevice> ftdi = resolver.Find(dev + "/ttyUSB0");
  ASSERT_TRUE(ftdi);
  EXPECT_EQ(ftdi->vendorId + ":" + ftdi->productId + " " + ftdi->serial, "0403:6001 A50285BI");
  EXPECT_FALSE(resolver.Find(dev + "/ttyUSB1"));
}

// Described as another user sees it: root may use any device.
TEST_F(PortNumberingTest, ADeviceTheUserMayNotUseSaysHowToFixIt) {
  (void)Scan({{&kFtdi, "ttyUSB0", "1-1.2"}});
  fs::permissions(tree.Path(""), fs::perms(0755));
  fs::permissions(tree.devRoot() + "/ttyUSB0", fs::perms::none);
  const std::string expected =
      tree.devRoot() +
      "/ttyUSB0 - FTDI FT232R USB UART - serial A50285BI - no permission to use it: " +
      tree.devRoot() + "/ttyUSB0 is root:root 0000: only root may use it";
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
    (void)std::fflush(stdout);
    ::_exit(text == expected ? 0 : 1);
  }
  EXPECT_EQ(Reap(child), 0) << expected;
}

}  // namespace
}  // namespace tevra::test
