// The dongle-sim program as people and scripts run it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kCap = 5000ms;

// Sends `command` on the updater's end of the line, then reads `n` bytes; every wait capped.
Bytes Exchange(int fd, const Bytes& command, std::size_t n) {
  const auto deadline = Clock::now() + kCap;
  std::size_t sent = 0;
  std::size_t have = 0;
  Bytes got(n);
  while (have < n) {
    const bool sending = sent < command.size();
    pollfd p{fd, sending ? short{POLLOUT} : short{POLLIN}, 0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    const ssize_t r = sending ? write(fd, command.data() + sent, command.size() - sent)
                              : read(fd, got.data() + have, n - have);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
      break;
    }
    (sending ? sent : have) += static_cast<std::size_t>(std::max<ssize_t>(r, 0));
  }
  got.resize(have);
  return got;
}

const Bytes kErase{0xE0, 0x22, 0x00, 0x00, 0x02};
const Bytes kHeader{0xE0, 0x55, 0x00, 0x00, 0x80};

class DongleSimProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { SetEnv("TEVRA_PORTS_DIR", PortsDir()); }
  std::string PortsDir() const { return dir_.Path("ports"); }
  std::string LinkPath() const { return PortsDir() + "/COM3"; }
  TempDir dir_;
};

TEST_F(DongleSimProgramTest, BadArgumentsGiveOneLineAndExitTwo) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"--bogus"},
           {"--port"},
           {"--port", "COM0"},
           {"--port", "COMx"},
           {"--port", "COM3", "--baud", "0", "--pace"},
           {"--port", "COM3", "--baud", "9600"},
           {"--port", "COM3", "--stop-after-block", "0"},
           {"--port", "COM3", "--garbage", "-1"},
           {"--port", "COM3", "--hangup-after-block", "1x"},
           {"--port", "COM3", "--ignore-erase", "abc"},
           {"--port", "COM3", "--image", ""},
           {"--port", "COM3", "--tty", "/dev/ttyGS0"},
           {"--socket", "/run/a.sock", "--ports-dir", "/tmp"},
           {"--tty", ""},
       }) {
    SCOPED_TRACE(args.empty() ? "" : args.back());
    ChildProcess p(DONGLE_SIM_PATH, args);
    EXPECT_EQ(p.Finish(kCap), 2);
    EXPECT_EQ(p.Stderr().rfind("dongle-sim: ", 0), 0U) << p.Stderr();
    EXPECT_EQ(p.Stderr().find('\n'), p.Stderr().size() - 1) << p.Stderr();
  }
  EXPECT_FALSE(std::filesystem::exists(PortsDir())) << "nothing is published on bad arguments";
}

TEST_F(DongleSimProgramTest, PortThatIsNotOursIsLeftAlone) {
  std::filesystem::create_directories(PortsDir());
  WriteFile(LinkPath(), {'u'});
  ChildProcess user(DONGLE_SIM_PATH, {"--port", "COM3"});
  EXPECT_EQ(user.Finish(kCap), 1);
  EXPECT_EQ(ReadFile(LinkPath()), Bytes{'u'});
  std::filesystem::remove(LinkPath());
  ChildProcess first(DONGLE_SIM_PATH, {"--port", "COM3"});
  const std::string published = first.NextLine(kCap);
  ChildProcess second(DONGLE_SIM_PATH, {"--port", "COM3"});
  EXPECT_EQ(second.Finish(kCap), 1);
  EXPECT_NE(second.Stderr().find("another running simulator"), std::string::npos)
      << second.Stderr();
  EXPECT_EQ("COM3 -> " + std::filesystem::read_symlink(LinkPath()).string(), published);
}

TEST_F(DongleSimProgramTest, StopSignalWritesTheImageAndRemovesTheLink) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    const std::string image = dir_.Path("received.bin");
    ChildProcess p(DONGLE_SIM_PATH, {"--port", "COM3", "--image", image});
    ASSERT_EQ(p.NextLine(kCap).rfind("COM3 -> /dev/pts/", 0), 0U) << p.Stderr();
    const UniqueFd line(open(LinkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios t{};
    ASSERT_EQ(tcgetattr(line.get(), &t), 0);
    cfmakeraw(&t);
    ASSERT_EQ(tcsetattr(line.get(), TCSANOW, &t), 0);
    const Bytes block = RandomBytes(100, 3);
    EXPECT_EQ(Exchange(line.get(), kErase, 2), (Bytes{0x50, 0x02}));
    EXPECT_EQ(Exchange(line.get(), kHeader, 8).size(), 8U);
    EXPECT_EQ(Exchange(line.get(), block, 102).size(), 102U);
    p.Signal(sig);
    EXPECT_EQ(p.Finish(kCap), 0) << p.Stderr();
    EXPECT_EQ(ReadFile(image), block);
    EXPECT_FALSE(std::filesystem::is_symlink(LinkPath()));
  }
}

// A socket the test listens on, as a virtual machine's adapter does, and a tty
// left in cooked mode, whose echo and line editing would alter bytes.
TEST_F(DongleSimProgramTest, DeviceOnAnExistingLinePassesEveryByteValue) {
  for (const std::string option : {"--socket", "--tty"}) {
    SCOPED_TRACE(option);
    UniqueFd listener;
    UniqueFd peer;
    std::string path = dir_.Path("adapter.sock");
    if (option == "--socket") {
      listener = UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      path.copy(address.sun_path, sizeof address.sun_path - 1);
      // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the sockets API
      ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      ASSERT_EQ(listen(listener.get(), 1), 0);
    } else {
      peer = UniqueFd(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
      std::array<char, 64> name{};
      ASSERT_TRUE(grantpt(peer.get()) == 0 && unlockpt(peer.get()) == 0 &&
                  ptsname_r(peer.get(), name.data(), name.size()) == 0);
      path = name.data();
    }
    ChildProcess p(DONGLE_SIM_PATH, {option, path});
    ASSERT_EQ(p.NextLine(kCap), "device on " + path) << p.Stderr();
    if (listener.valid()) {
      peer = UniqueFd(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    }
    EXPECT_EQ(Exchange(peer.get(), kErase, 2), (Bytes{0x50, 0x02}));
    for (const int first : {0x00, 0x80}) {
      EXPECT_EQ(Exchange(peer.get(), kHeader, 8).size(), 8U);
      Bytes block(128);
      std::iota(block.begin(), block.end(), static_cast<std::uint8_t>(first));
      EXPECT_EQ(Exchange(peer.get(), block, 130), Concat(block, {0x50, 0x00}));
    }
  }
  EXPECT_FALSE(std::filesystem::exists(PortsDir())) << "nothing is published";
}

}  // namespace
}  // namespace tevra::test
