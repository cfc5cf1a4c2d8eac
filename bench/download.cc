// With --headless: see download_headless.cc; with --watch, download_watch.cc.
//
// A full 16384-byte download through the real window (offscreen), the real
// port and dongle-sim answering at once in a process of its own, so that the
// CPU time measured here is the updater's alone.
//
// Prints:
//   download_seconds <x> floor_seconds 25.6 ratio <x/25.6>
//   cpu_seconds <updater process CPU time during the download>
// The floor is the protocol's own: 256 answers, each framed by 100 ms of
// silence.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTimer>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "bundler/bundle.h"
#include "res/resource.h"
#include "tests/support/elf_program.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"
#include "ui/updater_dialog.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): for posix_spawn

namespace {

using tevra::test::Bytes;
using tevra::test::RandomBytes;
using tevra::test::ReadFile;
using tevra::test::WriteFile;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPayloadBytes = 16384;
constexpr double kFloorSeconds = 25.6;
constexpr std::chrono::seconds kStartCap{10};
constexpr std::chrono::seconds kDownloadCap{120};

double CpuSeconds() {
  timespec now{};
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now) != 0) {
    return 0;
  }
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// dongle-sim as a child process; SIGTERM makes it write its image and exit.
class SimulatorProcess {
 public:
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;
  SimulatorProcess() = default;
  ~SimulatorProcess() { Stop(); }

  // Starts it and waits for the line that says the port is published.
  bool Start(const std::string& portsDir, const std::string& imagePath) {
    std::array<int, 2> out{};
    if (pipe2(out.data(), O_CLOEXEC) != 0) {
      std::perror("bench-download: pipe");  // NOLINT(cert-err33-c): nothing more to do
      return false;
    }
    m_out = out[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> args = {TEVRA_DONGLE_SIM, "--port",  "COM3",   "--ports-dir",
                                     portsDir,         "--image", imagePath};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const int rc = posix_spawn(&m_pid, TEVRA_DONGLE_SIM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
      (void)std::fprintf(stderr, "bench-download: cannot start %s: %s\n", TEVRA_DONGLE_SIM,
                         std::strerror(rc));  // NOLINT(concurrency-mt-unsafe): one thread here
      m_pid = -1;
      return false;
    }
    return WaitForLine("->");
  }

  // Ends it and reaps it; the image file is complete afterwards.
  bool Stop() {
    if (m_pid <= 0) {
      return true;
    }
    bool clean = ::kill(m_pid, SIGTERM) == 0;
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0) {
      if (errno != EINTR) {
        clean = false;
        break;
      }
    }
    m_pid = -1;
    if (m_out >= 0) {
      ::close(m_out);
      m_out = -1;
    }
    return clean && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  bool WaitForLine(const char* marker) {
    const Clock::time_point deadline = Clock::now() + kStartCap;
    std::string seen;
    while (seen.find(marker) == std::string::npos || seen.back() != '\n') {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        (void)std::fprintf(stderr, "bench-download: dongle-sim did not publish COM3\n");
        return false;
      }
      pollfd pfd{m_out, POLLIN, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) {
        continue;
      }
      std::array<char, 256> chunk{};
      const ssize_t got = ready > 0 ? ::read(m_out, chunk.data(), chunk.size()) : 0;
      if (ready < 0 || got < 0 || (ready > 0 && got == 0)) {
        (void)std::fprintf(stderr, "bench-download: dongle-sim ended before publishing COM3\n");
        return false;
      }
      seen.append(chunk.data(), static_cast<std::size_t>(got));
    }
    return true;
  }

  pid_t m_pid = -1;
  int m_out = -1;
};

}  // namespace

int Run(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  const tevra::test::IsolatedEnvironment env;
  QApplication app(argc, argv);

  const Bytes payload = RandomBytes(kPayloadBytes, 1);
  WriteFile(env.WorkFile("image"), tevra::test::ElfProgram(3000, 2));
  WriteFile(env.WorkFile("payload"), payload);
  std::string error;
  if (!tevra::PackBundle(env.WorkFile("image"), env.WorkFile("payload"), env.WorkFile("updater"),
                         error)) {
    (void)std::fprintf(stderr, "bench-download: cannot make the bundled updater: %s\n",
                       error.c_str());
    return 1;
  }

  SimulatorProcess simulator;
  const std::string received = env.WorkFile("received");
  if (!simulator.Start(env.portsDir(), received)) {
    return 1;
  }

  tevra::UpdaterDialog window;
  window.SetPayloadSource(env.WorkFile("updater"));
  tevra::test::WindowDriver driver(window);
  if (driver.OpenPort() != QStringLiteral("Com has opened already!")) {
    (void)std::fprintf(stderr, "bench-download: COM3 did not open\n");
    return 1;
  }

  QEventLoop loop;
  const QString finish = QStringLiteral("File download finish!");
  QObject::connect(driver.Control<QPlainTextEdit>(tevra::res::IDC_LOG),
                   &QPlainTextEdit::textChanged, &loop, [&] {
                     if (driver.TopLine() == finish) {
                       loop.quit();
                     }
                   });
  QTimer::singleShot(kDownloadCap, &loop, &QEventLoop::quit);

  const Clock::time_point start = Clock::now();
  const double cpuStart = CpuSeconds();
  driver.Click(tevra::res::IDC_DOWNLOAD);
  loop.exec();
  const double cpu = CpuSeconds() - cpuStart;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  if (driver.TopLine() != finish) {
    (void)std::fprintf(stderr, "bench-download: no finish within %lld s\n",
                       static_cast<long long>(kDownloadCap.count()));
    return 1;
  }
  // The last block leaves after the finish is logged; the device's answer
  // to it says it arrived.
  const bool lastAnswered = tevra::test::WindowDriver::WaitFor(
      [&] {
        std::error_code notYet;
        return std::filesystem::file_size(received, notYet) == kPayloadBytes;
      },
      std::chrono::seconds(10));
  const bool stopped = simulator.Stop();
  const bool same = ReadFile(received) == Bytes(payload.begin(), payload.end());
  if (!lastAnswered || !stopped || !same) {
    (void)std::fprintf(stderr,
                       "bench-download: the image the device received differs from the payload\n");
    return 1;
  }

  (void)std::printf("download_seconds %.3f floor_seconds %.1f ratio %.4f\n", seconds, kFloorSeconds,
                    seconds / kFloorSeconds);
  (void)std::printf("cpu_seconds %.3f\n", cpu);
  return 0;
}

int RunHeadless(int argc, char** argv);  // download_headless.cc
int RunWatch();                          // download_watch.cc

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::string(argv[1]) == "--headless") {
      return RunHeadless(argc, argv);
    }
    if (argc > 1 && std::string(argv[1]) == "--watch") {
      return RunWatch();
    }
    return Run(argc, argv);
  } catch (const std::exception& e) {
    (void)std::fprintf(stderr, "bench-download: %s\n", e.what());
    return 1;
  }
}
