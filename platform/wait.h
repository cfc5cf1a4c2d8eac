#pragma once

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>

#include "platform/event.h"

namespace tevra {

using Timeout = std::optional<std::chrono::milliseconds>;
inline constexpr Timeout kInfinite = std::nullopt;

enum class WaitStatus { kSignalled, kTimedOut, kFailed };

struct WaitResult {
  WaitStatus status = WaitStatus::kFailed;
  std::size_t index = 0;  // with kSignalled: the first listed event that is signalled
};

// Waits until at least one event is signalled or the timeout passes.
// When several are signalled, reports the first in the order given (so a
// stop request listed first always wins). Signals are not consumed.
// EINTR is retried with the remaining time taken from the monotonic clock.
// A time-out never ends the wait early; zero only looks, without blocking.
// kFailed (errno set) for an empty list, an invalid event or a failed poll.
WaitResult WaitAny(std::span<const Event* const> events, Timeout timeout);
WaitResult WaitAny(std::initializer_list<const Event*> events, Timeout timeout);

// Waits until every event is signalled at the same moment, or the timeout
// passes. Same failure rules as WaitAny; index is unused. An event reset
// while the others are still awaited counts as not signalled again.
WaitResult WaitAll(std::span<const Event* const> events, Timeout timeout);
WaitResult WaitAll(std::initializer_list<const Event*> events, Timeout timeout);

}  // namespace tevra
