#pragma once

#include <memory>

#include "cli/loop_wait.h"

namespace tevra {

// The requests that end a download, as one thing an event loop waits on.
//
// Linux: SIGINT (Ctrl-C), SIGTERM (kill), SIGHUP (the terminal closed) and
// SIGQUIT (Ctrl-\), through a signalfd. Construct it before any thread
// starts: the signals are blocked in the calling thread, and threads started
// afterwards inherit that, so no handler runs and nothing is interrupted
// mid-call. SIGPIPE is ignored meanwhile, so a reader of the output that
// goes away ends no download. A signal ignored at start (SIGHUP under nohup)
// stays ignored: the kernel discards it before it is ever read here.
//
// Windows: the console's control events, taken by a handler that sets an
// event: Ctrl+C counts as SIGINT (2), Ctrl+Break as SIGQUIT (3), and the
// console closing, the user logging off or the system shutting down as
// SIGHUP (1), so the exit status (128 + the number) is the one a script
// sees on Linux for the same act. The system ends the process a few
// seconds after the last of these; until then the handler holds it, so the
// ports can still say where they stood.
class StopSignals {
 public:
  StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  // Gives the signals back as they were.
  ~StopSignals();

  // False (errno set) when the requests could not be taken over.
  bool valid() const;
  // Ready while a request waits; for the loop, never to be read.
  Waitable waitable() const;
  // The number of a request that came, or 0 when none waits.
  int Take();
  // The requests taken over, for a person ("SIGINT, SIGTERM, ...").
  static const char* Names();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tevra
