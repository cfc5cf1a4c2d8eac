#pragma once

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <optional>

namespace tevra {

// poll(2)'s timeout until `deadline` (none: -1, wait for an event),
// rounded up, so a loop never wakes just before a deadline and spins.
template <typename Clock>
int PollTimeout(std::optional<typename Clock::time_point> deadline,
                typename Clock::time_point now) {
  if (!deadline) {
    return -1;
  }
  if (*deadline <= now) {
    return 0;
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), 60'000));
}

}  // namespace tevra
