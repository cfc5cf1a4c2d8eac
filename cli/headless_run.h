#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "cli/port_targets.h"

namespace tevra {

// `tevra-updater --download`, with or without --watch: the payload this
// updater carries, written to each port without a window. One thread runs
// every port's sequencer from one loop waiting on the ports' notifications,
// the stop signals, the earliest timer and, for a station, the adapters
// that appear (StationPlugFeed); the ports' own workers do the I/O, and a port
// that has ended closes on a thread of its own (PortCloser) while the
// others go on.
//
// A fixed --port list is a station with no watcher whose count is the
// number of ports. With --watch the named ports (possibly none) start
// first; then every adapter that appears is flashed once per plug, once its
// settle time has passed. The run ends on a stop signal (running downloads
// say where they stood; 128 + the signal), or once its count of outcomes
// is in (no download starts beyond it) and nothing runs: 0 when every one
// was done, else the status of the first port that failed in the order
// the ports started, else 6 when the report lost a record. Records whose
// report another program has locked are tried again from the loop; at the
// end they are waited for a few seconds more (on a stop signal, not at all)
// and then given up.
class HeadlessRun {
 public:
  // named: line.ports resolved, one each, in order. version: the updater's,
  // for the report.
  HeadlessRun(const CommandLine& line, std::vector<PortTarget> named, std::string_view version)
      : line_(line), named_(std::move(named)), version_(version) {}

  // Runs to its end; the exit status (see exit_status.h).
  int Run();

 private:
  const CommandLine& line_;
  std::vector<PortTarget> named_;
  std::string version_;
};

}  // namespace tevra
