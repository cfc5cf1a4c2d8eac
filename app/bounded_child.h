#pragma once

#include <chrono>
#include <functional>

namespace tevra {

// Runs work in a child process that is killed at the deadline, so that no
// call inside it can keep the caller longer: some of libdbus's waits take no
// time-out (connecting blocks while the listener's backlog is full). The
// child writes nothing to standard output or error, and a crash or a hang in
// it stays there.
class BoundedChild {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  // work's answer; false when the child could not start, failed or was killed.
  static bool Run(Deadline deadline, const std::function<bool()>& work);

  // For the waits inside work, which should end by the deadline too:
  // milliseconds left, rounded up; 0 once it has passed.
  static int MillisecondsLeft(Deadline deadline);
};

}  // namespace tevra
