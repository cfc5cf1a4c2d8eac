// bench-download --headless: tevra-updater --download, the real program, to
// four simulated devices in parallel against one, each dongle-sim in a
// process of its own answering at once, so the CPU time measured is the
// updater's alone.
//
// Prints:
//   parallel_devices 4 wall_seconds <x> single_seconds <y> ratio <x/y>
//   cpu_seconds <the updater's CPU time during the four-device run>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bundler/bundle.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): for posix_spawn

namespace {

using tevra::test::Bytes;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPayloadBytes = 16384;
constexpr int kDevices = 4;
constexpr std::chrono::seconds kStartCap{10};

struct RunResult {
  bool ok = false;
  double wallSeconds = 0;
  double cpuSeconds = 0;
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs the updater to its end, its output discarded; its wall and CPU time.
RunResult RunUpdater(const std::string& updater, int devices) {
  std::vector<std::string> args = {updater, "--download"};
  for (int i = 0; i < devices; ++i) {
    args.insert(args.end(), {"--port", "COM" + std::to_string(3 + i)});
  }
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const Clock::time_point start = Clock::now();
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, updater.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    return {};
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      return {};
    }
  }
  RunResult r;
  r.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!r.ok) {
    (void)std::fprintf(stderr, "bench-download: tevra-updater --download to %d devices failed\n",
                       devices);
  }
  return r;
}

}  // namespace

int RunHeadless() {
  const tevra::test::IsolatedEnvironment env;
  const Bytes payload = tevra::test::RandomBytes(kPayloadBytes, 1);
  tevra::test::WriteFile(env.WorkFile("payload"), payload);
  std::string error;
  if (!tevra::PackBundle(TEVRA_UPDATER, env.WorkFile("payload"), env.WorkFile("updater"), error)) {
    (void)std::fprintf(stderr, "bench-download: cannot make the bundled updater: %s\n",
                       error.c_str());
    return 1;
  }

  std::vector<std::unique_ptr<tevra::test::ChildProcess>> simulators;
  for (int i = 0; i < kDevices; ++i) {
    const std::string port = "COM" + std::to_string(3 + i);
    simulators.push_back(std::make_unique<tevra::test::ChildProcess>(
        TEVRA_DONGLE_SIM, std::vector<std::string>{"--port", port, "--ports-dir", env.portsDir(),
                                                   "--image", env.WorkFile(port)}));
    if (simulators.back()->NextLine(kStartCap).find("->") == std::string::npos) {
      (void)std::fprintf(stderr, "bench-download: dongle-sim did not publish %s\n", port.c_str());
      return 1;
    }
  }

  const RunResult single = RunUpdater(env.WorkFile("updater"), 1);
  const RunResult parallel = RunUpdater(env.WorkFile("updater"), kDevices);
  bool same = single.ok && parallel.ok;
  for (int i = 0; i < kDevices; ++i) {
    simulators[static_cast<std::size_t>(i)]->Signal(SIGTERM);
    same = simulators[static_cast<std::size_t>(i)]->Finish(std::chrono::milliseconds(kStartCap)) ==
               0 &&
           tevra::test::ReadFile(env.WorkFile("COM" + std::to_string(3 + i))) == payload && same;
  }
  if (!same) {
    (void)std::fprintf(stderr, "bench-download: a device did not receive the payload\n");
    return 1;
  }
  (void)std::printf("parallel_devices %d wall_seconds %.3f single_seconds %.3f ratio %.4f\n",
                    kDevices, parallel.wallSeconds, single.wallSeconds,
                    parallel.wallSeconds / single.wallSeconds);
  (void)std::printf("cpu_seconds %.3f\n", parallel.cpuSeconds);
  return 0;
}
