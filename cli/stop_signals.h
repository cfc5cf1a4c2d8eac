#pragma once

#include <signal.h>

#include <array>

#include "platform/unique_fd.h"

namespace tevra {

// The signals that end a download: Ctrl-C, a closed terminal (SIGHUP),
// Ctrl-\ and kill. A signal ignored at start (SIGHUP under nohup) stays
// ignored: the kernel discards it before it is ever read here.
inline constexpr std::array<int, 4> kStopSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// kStopSignals as a readable descriptor for an event loop. Construct it
// before any thread starts: the signals are blocked in the calling thread,
// and threads started afterwards inherit that, so no handler runs and
// nothing is interrupted mid-call. SIGPIPE is ignored meanwhile, so a reader
// of the output that goes away ends no download.
class StopSignals {
 public:
  StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  // Restores the signal mask and SIGPIPE's disposition.
  ~StopSignals();

  // False (errno set) when the signals could not be taken over.
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  // The number of a signal that arrived, or 0 when none waits.
  int Take();

 private:
  sigset_t previousMask_{};
  struct sigaction previousPipe_ {};
  bool blocked_ = false;
  bool pipeIgnored_ = false;
  UniqueFd fd_;
};

}  // namespace tevra
