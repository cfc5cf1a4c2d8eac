#include "cli/loop_wait.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "platform/windows/system_error.h"

namespace tevra {
namespace {

using Clock = std::chrono::steady_clock;

// Rounded up, so the loop never wakes just before a deadline and spins.
DWORD Milliseconds(std::optional<Clock::time_point> deadline) {
  if (!deadline) {
    return INFINITE;
  }
  const Clock::duration left = *deadline - Clock::now();
  if (left <= Clock::duration::zero()) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<DWORD>(std::min<long long>(ms, 60'000));
}

}  // namespace

bool WaitReady(std::span<const Waitable> items, std::optional<Clock::time_point> deadline,
               std::vector<bool>& ready) {
  ready.assign(items.size(), false);
  if (items.empty() || items.size() > MAXIMUM_WAIT_OBJECTS) {
    errno = EINVAL;
    return false;
  }
  const auto count = static_cast<DWORD>(items.size());
  const DWORD r = WaitForMultipleObjects(count, items.data(), FALSE, Milliseconds(deadline));
  if (r == WAIT_TIMEOUT) {
    return true;
  }
  if (r >= WAIT_OBJECT_0 + count) {
    if (r == WAIT_FAILED) {
      (void)win32::SetErrnoFromLastError();
    } else {
      errno = EINVAL;  // an abandoned mutex: never one of the loop's
    }
    return false;
  }
  // The system names the lowest signalled one only; the rest are looked at.
  const std::size_t first = r - WAIT_OBJECT_0;
  ready[first] = true;
  for (std::size_t i = first + 1; i < items.size(); ++i) {
    ready[i] = WaitForSingleObject(items[i], 0) == WAIT_OBJECT_0;
  }
  return true;
}

}  // namespace tevra
