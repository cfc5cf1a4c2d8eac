// bench-download --headless [--devices N]: tevra-updater --download, the real
// program, to N simulated devices in parallel (default 128) against one, each
// dongle-sim in a process of its own answering at once, so the CPU time
// measured is the updater's alone. The updater runs under a soft limit of
// 1024 descriptors, as a login shell gives it: it raises the limit itself.
//
// bench-download --quiet-gap: one device answering at 115200 baud, the
// updater at --baud 115200 --quiet-gap 5, against the floor: the line time of
// everything sent and received (11 bits a byte) plus one gap per answer.
//
// Prints:
//   parallel_devices <N> wall_seconds <x> single_seconds <y> ratio <x/y> cpu_seconds <c>
//   cpu_percent_per_device <100 c / x / N> simulators_cpu_seconds <theirs, both runs>
// or
//   quiet_gap_ms 5 baud 115200 bytes 16384 seconds <x> floor_seconds <f> ratio <x/f>
//   cpu_seconds <c> cut_attempts <downloads that failed before, at most 4>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bundler/bundle.h"
#include "download/protocol.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): for posix_spawn

namespace {

using tevra::test::Bytes;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPayloadBytes = 16384;
constexpr int kDefaultDevices = 128;
constexpr std::chrono::seconds kStartCap{10};
constexpr char kLoginLimit[] = "ulimit -Sn 1024; exec \"$0\" \"$@\"";
constexpr int kGapMs = 5;
constexpr std::uint32_t kGapBaud = 115200;
constexpr double kBitsPerByte = 11;
constexpr int kGapAttempts = 5;

struct RunResult {
  bool ok = false;
  double wallSeconds = 0;
  double cpuSeconds = 0;
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs the updater on COM3 onwards to its end through sh (which sets the
// soft descriptor limit, then becomes the updater), its output discarded;
// its wall and CPU time.
RunResult RunUpdater(const std::string& updater, int devices, std::vector<std::string> extra) {
  std::vector<std::string> args = {"/bin/sh", "-c", kLoginLimit, updater, "--download"};
  for (int i = 0; i < devices; ++i) {
    args.insert(args.end(), {"--port", "COM" + std::to_string(3 + i)});
  }
  args.insert(args.end(), extra.begin(), extra.end());
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
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
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
    (void)std::fprintf(stderr,
                       "bench-download: tevra-updater --download to %d devices failed (%d)\n",
                       devices, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  return r;
}

// The bundled updater and its simulators; `simArgs` go to every dongle-sim.
class Bench {
 public:
  bool Prepare(int devices, const std::vector<std::string>& simArgs) {
    tevra::test::WriteFile(env_.WorkFile("payload"), payload_);
    std::string error;
    if (!tevra::PackBundle(TEVRA_UPDATER, env_.WorkFile("payload"), updater(), error)) {
      (void)std::fprintf(stderr, "bench-download: cannot make the bundled updater: %s\n",
                         error.c_str());
      return false;
    }
    for (int i = 0; i < devices; ++i) {
      const std::string port = "COM" + std::to_string(3 + i);
      std::vector<std::string> args = {"--port",        port,      "--ports-dir",
                                       env_.portsDir(), "--image", env_.WorkFile(port)};
      args.insert(args.end(), simArgs.begin(), simArgs.end());
      simulators_.push_back(std::make_unique<tevra::test::ChildProcess>(TEVRA_DONGLE_SIM, args));
      if (simulators_.back()->NextLine(kStartCap).find("->") == std::string::npos) {
        (void)std::fprintf(stderr, "bench-download: dongle-sim did not publish %s (%d started)\n",
                           port.c_str(), i);
        return false;
      }
    }
    return true;
  }

  // Stops the simulators; true when each holds the payload.
  bool AllReceived() {
    bool same = true;
    for (std::size_t i = 0; i < simulators_.size(); ++i) {
      simulators_[i]->Signal(SIGTERM);
      same = simulators_[i]->Finish(std::chrono::milliseconds(kStartCap)) == 0 &&
             tevra::test::ReadFile(env_.WorkFile("COM" + std::to_string(3 + i))) == payload_ &&
             same;
    }
    if (!same) {
      (void)std::fprintf(stderr, "bench-download: a device did not receive the payload\n");
    }
    return same;
  }

  std::string updater() const { return env_.WorkFile("updater"); }

 private:
  const tevra::test::IsolatedEnvironment env_;
  const Bytes payload_ = tevra::test::RandomBytes(kPayloadBytes, 1);
  std::vector<std::unique_ptr<tevra::test::ChildProcess>> simulators_;
};

int RunParallel(int devices) {
  Bench bench;
  if (!bench.Prepare(devices, {})) {
    return 1;
  }
  const RunResult single = RunUpdater(bench.updater(), 1, {});
  const RunResult parallel = RunUpdater(bench.updater(), devices, {});
  if (!single.ok || !parallel.ok || !bench.AllReceived()) {
    return 1;
  }
  (void)std::printf(
      "parallel_devices %d wall_seconds %.3f single_seconds %.3f ratio %.4f cpu_seconds %.3f\n",
      devices, parallel.wallSeconds, single.wallSeconds, parallel.wallSeconds / single.wallSeconds,
      parallel.cpuSeconds);
  // Every child is reaped by now: the simulators' share of the machine.
  rusage children{};
  getrusage(RUSAGE_CHILDREN, &children);
  const double simulators = Seconds(children.ru_utime) + Seconds(children.ru_stime) -
                            single.cpuSeconds - parallel.cpuSeconds;
  (void)std::printf("cpu_percent_per_device %.4f simulators_cpu_seconds %.3f\n",
                    100 * parallel.cpuSeconds / parallel.wallSeconds / devices, simulators);
  return 0;
}

int RunQuietGap() {
  Bench bench;
  if (!bench.Prepare(1, {"--pace", "--baud", std::to_string(kGapBaud)})) {
    return 1;
  }
  // A busy machine preempts the simulator (or the updater's workers) for
  // longer than the gap now and then: that download fails at once (no
  // answer within --timeout 2) and is counted, and the next one starts over.
  RunResult run;
  int cut = 0;
  for (; cut < kGapAttempts; ++cut) {
    run = RunUpdater(bench.updater(), 1,
                     {"--baud", std::to_string(kGapBaud), "--quiet-gap", std::to_string(kGapMs),
                      "--timeout", "2"});
    if (run.ok) {
      break;
    }
  }
  if (!run.ok || !bench.AllReceived()) {
    return 1;
  }
  namespace p = tevra::protocol;
  const std::size_t blocks = kPayloadBytes / p::BLOCK_SIZE;
  const std::size_t sent =
      p::CMD_ERASE.size() + blocks * (p::CMD_BLOCK_HEADER.size() + p::BLOCK_SIZE);
  const std::size_t received =
      p::kEraseAck.size() + blocks * (p::kHeaderAckOffset + p::kHeaderAck.size() +
                                      p::kBlockAckOffset + p::kBlockAck.size());
  const double floor = static_cast<double>(sent + received) * kBitsPerByte / kGapBaud +
                       static_cast<double>(2 * blocks) * kGapMs / 1000.0;
  (void)std::printf(
      "quiet_gap_ms %d baud %u bytes %zu seconds %.3f floor_seconds %.3f ratio %.4f\n", kGapMs,
      kGapBaud, kPayloadBytes, run.wallSeconds, floor, run.wallSeconds / floor);
  (void)std::printf("cpu_seconds %.3f cut_attempts %d\n", run.cpuSeconds, cut);
  return 0;
}

}  // namespace

int RunHeadless(int argc, char** argv) {
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (args.size() == 1 && args[0] == "--quiet-gap") {
    return RunQuietGap();
  }
  int devices = kDefaultDevices;
  if (args.size() == 2 && args[0] == "--devices") {
    const auto [end, ec] =
        std::from_chars(args[1].data(), args[1].data() + args[1].size(), devices);
    if (ec != std::errc() || end != args[1].data() + args[1].size() || devices < 1 ||
        devices > 250) {
      (void)std::fprintf(stderr, "bench-download: --devices wants 1 to 250\n");
      return 2;
    }
  } else if (!args.empty()) {
    (void)std::fprintf(stderr, "usage: bench-download --headless [--devices N | --quiet-gap]\n");
    return 2;
  }
  return RunParallel(devices);
}
