#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <vector>

#include "platform/event.h"

namespace tevra {

// What a headless run's loop waits on: a descriptor that is ready when
// readable on Linux (an eventfd, a signalfd, an inotify descriptor), a
// handle that is ready when signalled on Windows (an event).
using Waitable = Event::Native;

// Waits until at least one of `items` is ready or `deadline` has come (none:
// no limit), then sets ready[i] for every item that is ready at that moment,
// not only the first, so no item starves the others. Nothing is consumed.
// A wait a signal interrupts returns with none ready. False (errno set) when
// the wait failed; ready is then all false.
bool WaitReady(std::span<const Waitable> items,
               std::optional<std::chrono::steady_clock::time_point> deadline,
               std::vector<bool>& ready);

}  // namespace tevra
