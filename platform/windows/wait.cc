#include "platform/wait.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ratio>
#include <vector>

#include "platform/windows/system_error.h"

namespace tevra {
namespace {

using Clock = std::chrono::steady_clock;

std::optional<Clock::time_point> DeadlineFor(Timeout timeout) {
  if (!timeout) {
    return std::nullopt;
  }
  return Clock::now() + std::max(*timeout, std::chrono::milliseconds::zero());
}

// Milliseconds for WaitForMultipleObjects, rounded up so a wait never ends
// before its time-out; below INFINITE, which means no limit.
DWORD WaitTimeout(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) {
    return INFINITE;
  }
  const auto left = *deadline - Clock::now();
  if (left <= Clock::duration::zero()) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<DWORD>(std::min<long long>(ms, INFINITE - 1));
}

// A timed wait on its own ends on the system's clock tick, up to 15.6 ms
// late: every answer's quiet gap would grow by that much. A high-resolution
// waitable timer (Windows 10 1803 and later; the flag is newer than the
// toolchain's headers) ends it within about a millisecond. Without one the
// tick it is.
constexpr DWORD kHighResolutionTimer = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION

class PreciseTimer {
 public:
  // None unless wanted: most waits are not timed.
  explicit PreciseTimer(bool wanted)
      : handle_(wanted ? CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer,
                                                TIMER_ALL_ACCESS)
                       : nullptr) {}
  PreciseTimer(const PreciseTimer&) = delete;
  PreciseTimer& operator=(const PreciseTimer&) = delete;
  ~PreciseTimer() {
    if (handle_ != nullptr) {
      (void)CloseHandle(handle_);
    }
  }
  // The timer, set to fire once after `left`; null when there is none.
  HANDLE Arm(Clock::duration left) const {
    if (handle_ == nullptr) {
      return nullptr;
    }
    LARGE_INTEGER due{};
    // Negative: relative, in 100 ns units.
    due.QuadPart = -std::max<long long>(
        1, std::chrono::ceil<std::chrono::duration<long long, std::ratio<1, 10'000'000>>>(left)
               .count());
    return SetWaitableTimer(handle_, &due, 0, nullptr, nullptr, FALSE) != 0 ? handle_ : nullptr;
  }

 private:
  HANDLE handle_;
};

bool FillHandles(std::span<const Event* const> events, std::vector<HANDLE>& handles) {
  if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS) {
    errno = EINVAL;
    return false;
  }
  handles.clear();
  handles.reserve(events.size());
  for (const Event* e : events) {
    if (e == nullptr || !e->valid()) {
      errno = EINVAL;
      return false;
    }
    handles.push_back(e->native());
  }
  return true;
}

// WaitForMultipleObjects reports the lowest index among the signalled
// handles when waiting for any, and waits for all at one instant when asked
// to: the header's rules are the system's own here.
WaitResult Wait(std::span<const Event* const> events, Timeout timeout, bool all) {
  std::vector<HANDLE> handles;
  if (!FillHandles(events, handles)) {
    return {};
  }
  const auto deadline = DeadlineFor(timeout);
  const auto count = static_cast<DWORD>(handles.size());
  // Waiting for all, the timer would have to fire too: that wait keeps the tick.
  const bool precise =
      !all && deadline && WaitTimeout(deadline) != 0 && count < MAXIMUM_WAIT_OBJECTS;
  const PreciseTimer timer(precise);
  for (;;) {
    const HANDLE fired = precise ? timer.Arm(*deadline - Clock::now()) : nullptr;
    handles.resize(count);
    if (fired != nullptr) {
      handles.push_back(fired);
    }
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                           all ? TRUE : FALSE, WaitTimeout(deadline));
    if (r < WAIT_OBJECT_0 + count) {
      return {WaitStatus::kSignalled, all ? 0 : static_cast<std::size_t>(r - WAIT_OBJECT_0)};
    }
    if (r == WAIT_TIMEOUT || (fired != nullptr && r == WAIT_OBJECT_0 + count)) {
      // The system's tick may end a wait a little early.
      if (!deadline || Clock::now() < *deadline) {
        continue;
      }
      return {WaitStatus::kTimedOut, 0};
    }
    if (r == WAIT_FAILED) {
      (void)win32::SetErrnoFromLastError();
    } else {
      errno = EINVAL;  // an abandoned mutex: never one of our events
    }
    return {};
  }
}

}  // namespace

WaitResult WaitAny(std::span<const Event* const> events, Timeout timeout) {
  return Wait(events, timeout, false);
}

WaitResult WaitAny(std::initializer_list<const Event*> events, Timeout timeout) {
  return WaitAny(std::span<const Event* const>(events.begin(), events.size()), timeout);
}

WaitResult WaitAll(std::span<const Event* const> events, Timeout timeout) {
  return Wait(events, timeout, true);
}

WaitResult WaitAll(std::initializer_list<const Event*> events, Timeout timeout) {
  return WaitAll(std::span<const Event* const>(events.begin(), events.size()), timeout);
}

}  // namespace tevra
