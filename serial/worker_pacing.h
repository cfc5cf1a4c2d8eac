#pragma once

#include <chrono>

#include "platform/event.h"

namespace tevra {

// A worker whose call keeps failing (a dead line, a failed wait) retries at
// most this often, so it never spins, and still stops at once on request.
inline constexpr std::chrono::milliseconds kRetryPace{100};

// Waits up to kRetryPace for `stop`. True when the stop was requested.
bool PaceRetry(const Event& stop);

// The start handshake: waits for `start`, or `stop` if that comes first (so a
// worker whose producer never ran still ends). True when started.
bool AwaitStart(const Event& stop, const Event& start);

}  // namespace tevra
