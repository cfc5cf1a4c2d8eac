#pragma once

#include "cli/command_line.h"
#include "cli/exit_status.h"

namespace tevra {

// `tevra-updater --download`: the payload this updater carries, written to
// every port at once, without a window. One thread runs every port's
// sequencer from a poll loop over the ports' notifications, the stop
// signals and the earliest timer; the ports' own workers do the I/O.
class HeadlessDownload {
 public:
  explicit HeadlessDownload(const CommandLine& line) : line_(line) {}

  // Runs to the end of every port; the exit status (see exit_status.h).
  int Run();

 private:
  const CommandLine& line_;
};

}  // namespace tevra
