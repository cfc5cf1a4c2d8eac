#include "serial/worker_pacing.h"

#include <thread>

#include "platform/wait.h"

namespace tevra {

bool PaceRetry(const Event& stop) {
  const WaitResult r = WaitAny({&stop}, kRetryPace);
  if (r.status == WaitStatus::kFailed) {
    // Even waiting is failing: still keep the retries apart.
    std::this_thread::sleep_for(kRetryPace);
    return stop.IsSet();
  }
  return r.status == WaitStatus::kSignalled;
}

bool AwaitStart(const Event& stop, const Event& start) {
  for (;;) {
    const WaitResult r = WaitAny({&stop, &start}, kInfinite);
    if (r.status == WaitStatus::kSignalled) {
      return r.index == 1;
    }
    if (PaceRetry(stop)) {
      return false;
    }
  }
}

}  // namespace tevra
