// bench-download --watch: tevra-updater --download --watch, the real
// program, as a flashing station: dongle-sim processes plugged in (their
// COMn links published) one after another.
//
// Prints:
//   watch_idle_cpu_percent <x> seconds 10 target 0.1
//   watch_erase_ms settle <s> median <x> max <y> plugs 5 target 200
// where the erase time is from a simulator's link appearing to its erase
// command arriving, less the settle time.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bundler/bundle.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"

namespace {

using tevra::test::ChildProcess;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kCap{30};
constexpr std::chrono::seconds kIdle{10};
constexpr int kPlugs = 5;

// The process's CPU time so far, in seconds: every thread's time on a CPU
// in nanoseconds (schedstat), finer than the 10 ms ticks of /proc/PID/stat.
double CpuSeconds(pid_t pid) {
  std::uint64_t nanoseconds = 0;
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (std::filesystem::directory_iterator it(tasks, error), end; !error && it != end;
       it.increment(error)) {
    std::ifstream schedstat(it->path() / "schedstat");
    std::uint64_t onCpu = 0;
    schedstat >> onCpu;
    nanoseconds += onCpu;
  }
  return static_cast<double>(nanoseconds) / 1e9;
}

std::unique_ptr<ChildProcess> StartWatch(const std::string& updater, int settleMs) {
  auto watch = std::make_unique<ChildProcess>(
      updater,
      std::vector<std::string>{"--download", "--watch", "--settle", std::to_string(settleMs)});
  // The firmware's line comes first.
  if (watch->NextLine(kCap).rfind("firmware: ", 0) != 0 ||
      watch->NextLine(kCap).rfind("watching ", 0) != 0) {
    throw std::runtime_error("the watch did not start: " + watch->Stderr());
  }
  return watch;
}

// Milliseconds beyond the settle time from each plug to its erase.
std::vector<double> EraseTimes(const std::string& updater, const std::string& portsDir,
                               int settleMs) {
  auto watch = StartWatch(updater, settleMs);
  std::vector<std::unique_ptr<ChildProcess>> sims;
  std::vector<double> times;
  for (int i = 0; i < kPlugs; ++i) {
    const std::string port = "COM" + std::to_string(3 + i);
    sims.push_back(std::make_unique<ChildProcess>(
        TEVRA_DONGLE_SIM, std::vector<std::string>{"--port", port, "--ports-dir", portsDir}));
    if (sims.back()->NextLine(kCap).find(" -> ") == std::string::npos) {
      throw std::runtime_error("dongle-sim did not publish " + port);
    }
    const Clock::time_point plugged = Clock::now();
    while (sims.back()->NextLine(kCap) != "erase") {
      if (Clock::now() - plugged > kCap) {
        throw std::runtime_error(port + " was never erased");
      }
    }
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - plugged).count() -
                    settleMs);
  }
  watch->Signal(SIGINT);
  (void)watch->Finish(std::chrono::milliseconds(kCap));
  for (auto& sim : sims) {
    sim->Signal(SIGTERM);
    (void)sim->Finish(std::chrono::milliseconds(kCap));
  }
  std::sort(times.begin(), times.end());
  return times;
}

}  // namespace

int RunWatch() {
  const tevra::test::IsolatedEnvironment env;
  tevra::test::WriteFile(env.WorkFile("payload"), tevra::test::RandomBytes(1024, 1));
  std::string error;
  if (!tevra::PackBundle(TEVRA_UPDATER, env.WorkFile("payload"), env.WorkFile("updater"), error)) {
    (void)std::fprintf(stderr, "bench-download: cannot make the bundled updater: %s\n",
                       error.c_str());
    return 1;
  }
  {
    auto idle = StartWatch(env.WorkFile("updater"), 1000);
    const double before = CpuSeconds(idle->pid());
    std::this_thread::sleep_for(kIdle);
    const double used = CpuSeconds(idle->pid()) - before;
    (void)std::printf("watch_idle_cpu_percent %.4f seconds %lld target 0.1\n",
                      100 * used / static_cast<double>(kIdle.count()),
                      static_cast<long long>(kIdle.count()));
    idle->Signal(SIGINT);
    (void)idle->Finish(std::chrono::milliseconds(kCap));
  }
  for (const int settleMs : {0, 1000}) {
    const std::vector<double> times = EraseTimes(env.WorkFile("updater"), env.portsDir(), settleMs);
    (void)std::printf("watch_erase_ms settle %d median %.1f max %.1f plugs %d target 200\n",
                      settleMs, times[times.size() / 2], times.back(), kPlugs);
  }
  return 0;
}
