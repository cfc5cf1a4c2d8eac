// The dongle-sim program as people and scripts run it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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
#include "tests/support/isolated_environment.h"

extern char** environ;  // NOLINT: POSIX declares it for the program

namespace tevra::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr auto kCap = 5000ms;

// A running dongle-sim with its stdout and stderr on pipes.
class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    std::array<int, 2> out{-1, -1};
    std::array<int, 2> err{-1, -1};
    if (pipe2(out.data(), O_CLOEXEC) != 0 || pipe2(err.data(), O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
    std::vector<std::string> all{DONGLE_SIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(all.size() + 1);
    for (std::string& a : all) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, DONGLE_SIM_PATH, &fa, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (const int fd : {out_, err_}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }

  bool Started() const { return pid_ > 0; }
  void Signal(int sig) const { kill(pid_, sig); }

  // The next line of stdout, waiting at most `cap`; empty on time-out or EOF.
  std::string NextLine(std::chrono::milliseconds cap) {
    const auto deadline = Clock::now() + cap;
    for (;;) {
      const auto nl = out_text_.find('\n', consumed_);
      if (nl != std::string::npos) {
        std::string line = out_text_.substr(consumed_, nl - consumed_);
        consumed_ = nl + 1;
        return line;
      }
      if (!ReadSome(deadline)) {
        return {};
      }
    }
  }

  // Reads both pipes to their end and reaps the program; its exit status,
  // or -1 if it did not end within `cap`.
  int Finish(std::chrono::milliseconds cap) {
    const auto deadline = Clock::now() + cap;
    while (ReadSome(deadline)) {
    }
    if (out_ >= 0 || err_ >= 0) {
      return -1;  // still running
    }
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) {
      return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string Stdout() const { return out_text_; }
  std::string Stderr() const { return err_text_; }

 private:
  // Reads what either pipe has; false once both are at EOF or the deadline passed.
  bool ReadSome(Clock::time_point deadline) {
    std::array<pollfd, 2> fds{pollfd{out_, POLLIN, 0}, pollfd{err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) {
      return false;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    const int r = poll(fds.data(), fds.size(), static_cast<int>(left));
    if (r < 0 && errno == EINTR) {
      return true;
    }
    if (r <= 0) {
      return false;
    }
    Drain(fds[0].revents, out_, out_text_);
    Drain(fds[1].revents, err_, err_text_);
    return true;
  }

  static void Drain(short revents, int& fd, std::string& text) {
    if (fd < 0 || revents == 0) {
      return;
    }
    std::array<char, 4096> buf{};
    const ssize_t n = read(fd, buf.data(), buf.size());
    if (n > 0) {
      text.append(buf.data(), static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_text_;
  std::string err_text_;
  std::size_t consumed_ = 0;
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
