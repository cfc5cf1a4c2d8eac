// Measures how long after a burst's last byte the window-side receiver gets
// its notification, and what the open port costs while the line is idle.
// Prints:
//   framing_latency_ms p50=<x> p99=<y> max=<z>
//   idle_cpu_percent <x>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "serial/notify_target.h"
#include "serial/serial_port.h"
#include "sim/pty_link.h"
#include "tests/support/isolated_environment.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kBursts = 60;
constexpr auto kBurstSpacing = 300ms;
constexpr auto kIdleWindow = 10s;
constexpr auto kCap = 5s;
constexpr std::uint8_t kPort = 3;

class TimedTarget : public tevra::NotifyTarget {
 public:
  bool Post(std::uint32_t /*msg*/, std::uintptr_t wParam, std::intptr_t /*lParam*/) override {
    {
      const std::lock_guard lock(mutex_);
      if (wParam == 0) {
        arrivals_.push_back(Clock::now());
      }
    }
    cv_.notify_all();
    return true;
  }

  std::optional<Clock::time_point> Next() {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, kCap, [this] { return !arrivals_.empty(); })) {
      return std::nullopt;
    }
    const Clock::time_point at = arrivals_.front();
    arrivals_.pop_front();
    return at;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Clock::time_point> arrivals_;
};

std::optional<Clock::duration> ProcessCpuTime() {
  timespec ts{};
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts) != 0) {
    return std::nullopt;
  }
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

int Fail(const std::string& why) {
  std::cerr << "bench-framing: " << why << '\n';
  return 1;
}

std::string ErrnoText() {
  return std::error_code(errno, std::generic_category()).message();
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Nearest-rank percentile of sorted samples.
double Percentile(const std::vector<double>& sorted, double p) {
  const auto rank =
      static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

int Run() {
  // Made before any thread starts.
  const tevra::test::IsolatedEnvironment env;
  tevra::sim::PtyLink link;
  std::string error;
  if (!link.Open(kPort, env.portsDir(), &error)) {
    return Fail(error);
  }
  TimedTarget target;
  tevra::SerialPort port;
  if (!port.Open(&target, tevra::WM_SERIAL_NOTIFY, kPort, 9600, 8, tevra::Parity::kEven, 1)) {
    return Fail("the port did not open");
  }

  const std::vector<std::uint8_t> burst = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  std::vector<double> latencies;
  auto next = Clock::now();
  for (int i = 0; i < kBursts; ++i) {
    std::this_thread::sleep_until(next);
    next += kBurstSpacing;
    if (!link.WriteAll(burst.data(), burst.size(), kCap)) {
      return Fail("write: " + ErrnoText());
    }
    const Clock::time_point lastByte = Clock::now();
    const std::optional<Clock::time_point> posted = target.Next();
    if (!posted) {
      return Fail("burst " + std::to_string(i) + " was never announced");
    }
    std::vector<std::uint8_t> record(1024);
    std::uint32_t size = 1024;
    if (!port.Receive(record.data(), size) || size != burst.size() + 1) {
      return Fail("burst " + std::to_string(i) + " did not arrive as one 10-byte record");
    }
    latencies.push_back(Ms(*posted - lastByte));
  }
  std::sort(latencies.begin(), latencies.end());
  std::cout << std::fixed << std::setprecision(1)
            << "framing_latency_ms p50=" << Percentile(latencies, 50)
            << " p99=" << Percentile(latencies, 99) << " max=" << latencies.back() << std::endl;

  const auto cpuBefore = ProcessCpuTime();
  const auto wallBefore = Clock::now();
  std::this_thread::sleep_for(kIdleWindow);
  const auto cpuAfter = ProcessCpuTime();
  const auto wall = Clock::now() - wallBefore;
  if (!cpuBefore || !cpuAfter) {
    return Fail("clock_gettime: " + ErrnoText());
  }
  std::cout << std::setprecision(3) << "idle_cpu_percent "
            << 100.0 * Ms(*cpuAfter - *cpuBefore) / Ms(wall) << std::endl;
  port.Close();
  return 0;
}

}  // namespace

int main() {
  try {
    return Run();
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
