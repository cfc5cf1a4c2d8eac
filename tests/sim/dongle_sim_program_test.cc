// The dongle-sim program as people and scripts run it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "tests/sim/slave_line.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"

namespace tevra::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kCap = 5000ms;

// dongle-sim with its stdout and stderr on pipes.
class Program : public tevra::test::ChildProcess {
 public:
  explicit Program(const std::vector<std::string>& args) : ChildProcess(DONGLE_SIM_PATH, args) {}
};

std::size_t CountLines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class DongleSimProgramTest : public ::testing::Test {
 protected:
  // The ports directory is left for the program to make.
  void SetUp() override { tevra::test::SetEnv("TEVRA_PORTS_DIR", PortsDir()); }
  std::string PortsDir() const { return dir_.Path("ports"); }
  std::string LinkPath() const { return PortsDir() + "/COM3"; }

  tevra::test::TempDir dir_;
};

TEST_F(DongleSimProgramTest, BadArgumentsGiveOneLineAndExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--bogus"},
      {"--port"},
      {"--port", "COM0"},
      {"--port", "COMx"},
      {"--port", "COM3", "--baud", "0", "--pace"},
      {"--port", "COM3", "--baud", "9600"},
      {"--port", "COM3", "--garbage", "-1"},
      {"--port", "COM3", "--stop-after-block", "0"},
      {"--port", "COM3", "--hangup-after-block", "1x"},
      {"--port", "COM3", "--ignore-erase", "abc"},
      {"--port", "COM3", "--image", ""},
      {"--port", "COM3", "--tty", "/dev/ttyGS0"},
      {"--socket", "/run/a.sock", "--ports-dir", "/tmp"},
      {"--tty", ""},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) {
      joined += " '" + a + "'";
    }
    SCOPED_TRACE("dongle-sim" + joined);
    Program p(args);
    ASSERT_TRUE(p.Started());
    EXPECT_EQ(p.Finish(kCap), 2);
    EXPECT_EQ(CountLines(p.Stderr()), 1U) << p.Stderr();
    EXPECT_EQ(p.Stderr().rfind("dongle-sim: ", 0), 0U) << p.Stderr();
    EXPECT_EQ(p.Stdout(), "");
  }
  EXPECT_FALSE(std::filesystem::exists(PortsDir())) << "nothing is published on bad arguments";
}

TEST_F(DongleSimProgramTest, PortThatCannotBePublishedGivesOneLineAndExitOne) {
  std::filesystem::create_directories(PortsDir());
  { std::ofstream(LinkPath()) << "a user's file"; }
  Program p({"--port", "COM3"});
  ASSERT_TRUE(p.Started());
  EXPECT_EQ(p.Finish(kCap), 1);
  EXPECT_EQ(CountLines(p.Stderr()), 1U) << p.Stderr();
  EXPECT_NE(p.Stderr().find("COM3"), std::string::npos) << p.Stderr();
  EXPECT_TRUE(std::filesystem::is_regular_file(LinkPath()));

  // Nor is a COMn that another running simulator serves re-pointed.
  std::filesystem::remove(LinkPath());
  Program first({"--port", "COM3"});
  const std::string published = first.NextLine(kCap);
  Program second({"--port", "COM3"});
  EXPECT_EQ(second.Finish(kCap), 1);
  EXPECT_NE(second.Stderr().find("another running simulator"), std::string::npos)
      << second.Stderr();
  EXPECT_EQ("COM3 -> " + std::filesystem::read_symlink(LinkPath()).string(), published);
}

class DongleSimSignalTest : public DongleSimProgramTest,
                            public ::testing::WithParamInterface<int> {};

TEST_P(DongleSimSignalTest, StopSignalWritesTheImageRemovesTheLinkAndExitsZero) {
  const std::string image = dir_.Path("received.bin");
  Program p({"--port", "COM3", "--ports-dir", PortsDir(), "--image", image});
  ASSERT_TRUE(p.Started());
  const std::string first = p.NextLine(kCap);
  ASSERT_EQ(first.rfind("COM3 -> /dev/pts/", 0), 0U) << first << p.Stderr();

  test::SlaveLine line;
  ASSERT_TRUE(line.Open(LinkPath()));
  ASSERT_TRUE(line.Write({0xE0, 0x22, 0x00, 0x00, 0x02}, kCap));
  EXPECT_EQ(line.ReadCount(2, kCap), (Bytes{0x50, 0x02}));
  ASSERT_TRUE(line.Write({0xE0, 0x55, 0x00, 0x00, 0x80}, kCap));
  EXPECT_EQ(line.ReadCount(8, kCap).size(), 8U);
  Bytes block(100);
  std::iota(block.begin(), block.end(), std::uint8_t{0xA0});
  ASSERT_TRUE(line.Write(block, kCap));
  EXPECT_EQ(line.ReadCount(102, kCap).size(), 102U);

  // Each event is printed as it happens, not when the program ends.
  EXPECT_EQ(p.NextLine(kCap), "erase");
  EXPECT_EQ(p.NextLine(kCap), "header");
  EXPECT_EQ(p.NextLine(kCap), "block 1 100 bytes");

  p.Signal(GetParam());
  EXPECT_EQ(p.Finish(kCap), 0) << p.Stderr();
  std::ifstream in(image, std::ios::binary);
  const Bytes saved{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(saved, block);
  EXPECT_FALSE(std::filesystem::is_symlink(LinkPath()));
  EXPECT_TRUE(line.WaitHangup(kCap));
}

INSTANTIATE_TEST_SUITE_P(Signals, DongleSimSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return p.param == SIGTERM ? std::string("Sigterm")
                                                     : std::string("Sigint");
                         });

// The device end on lines that exist already: a socket the test listens on,
// as a virtual machine's adapter does, and a tty left in cooked mode, whose
// echo and line editing would alter bytes.
class DongleSimLineTest : public DongleSimProgramTest,
                          public ::testing::WithParamInterface<std::string> {};

TEST_P(DongleSimLineTest, DeviceOnAnExistingLinePassesEveryByteValue) {
  const bool socketLine = GetParam() == "--socket";
  UniqueFd listener;
  UniqueFd peer;
  std::string path = dir_.Path("adapter.sock");
  if (socketLine) {
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
  Program p({GetParam(), path});
  ASSERT_EQ(p.NextLine(kCap), "device on " + path) << p.Stderr();
  if (socketLine) {
    peer = UniqueFd(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    ASSERT_TRUE(peer.valid());
  }
  test::SlaveLine line;
  line.Adopt(dup(peer.get()));
  const auto exchange = [&](const Bytes& command, std::size_t answerLength) {
    EXPECT_TRUE(line.Write(command, kCap));
    return line.ReadCount(answerLength, kCap);
  };
  const Bytes header{0xE0, 0x55, 0x00, 0x00, 0x80};
  EXPECT_EQ(exchange({0xE0, 0x22, 0x00, 0x00, 0x02}, 2), (Bytes{0x50, 0x02}));
  for (const int first : {0x00, 0x80}) {
    EXPECT_EQ(exchange(header, 8).size(), 8U);
    Bytes block(128);
    std::iota(block.begin(), block.end(), static_cast<std::uint8_t>(first));
    Bytes answer = block;
    answer.insert(answer.end(), {0x50, 0x00});
    EXPECT_EQ(exchange(block, 130), answer);
  }
  EXPECT_FALSE(std::filesystem::exists(PortsDir())) << "nothing is published";
}

INSTANTIATE_TEST_SUITE_P(Lines, DongleSimLineTest, ::testing::Values("--socket", "--tty"),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                           return p.param.substr(2);
                         });

}  // namespace
}  // namespace tevra::sim
