#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/bundled_payload.h"
#include "cli/command_line.h"
#include "cli/exit_status.h"
#include "cli/outcome_report.h"
#include "cli/port_targets.h"
#include "cli/progress_console.h"

namespace tevra {

// Opens the report a run was asked for (none when path is empty) before any
// device is touched; false, having said why, when a record could not be kept.
bool OpenReport(const std::string& path, ProgressConsole& console,
                std::optional<OutcomeReport>& report);

// Says the firmware's size and SHA-256 on the console and gives them to the
// report, if any, before any port opens; why there is nothing to send, or
// empty.
std::string AnnounceFirmware(const BundledPayload& payload, ProgressConsole& console,
                             OutcomeReport* report);

// `tevra-updater --download`: the payload this updater carries, written to
// every port at once, without a window. One thread runs every port's
// sequencer from a poll loop over the ports' notifications, the stop
// signals and the earliest timer; the ports' own workers do the I/O.
class HeadlessDownload {
 public:
  // targets: line.ports resolved, one each, in order.
  HeadlessDownload(const CommandLine& line, std::vector<PortTarget> targets)
      : line_(line), targets_(std::move(targets)) {}

  // Runs to the end of every port; the exit status (see exit_status.h).
  int Run();

 private:
  const CommandLine& line_;
  std::vector<PortTarget> targets_;
};

}  // namespace tevra
