#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/exit_status.h"
#include "cli/port_targets.h"

namespace tevra {

// `tevra-updater --download --watch`: a flashing station. The ports named
// are flashed at the start; then every serial adapter that appears (a new
// ttyUSB/ttyACM node in /dev, a new COMn link in the ports directory) is
// flashed once its settle time has passed, each in parallel with the
// others, once per plug (see WatchedAdapters). Adapters there at the start
// are left alone. One poll loop, as HeadlessDownload's, also waits for the
// AdapterWatcher and the settle times; ended ports close on threads of their
// own (PortCloser) while the others go on.
//
// Ends on a stop signal (running downloads say where they stood; 128 + the
// signal), or with --count N once N outcomes are in: no download starts
// beyond the N-th, and the run ends when the last running one has its
// outcome (0 when every outcome was done, else the first failure's status).
class WatchDownload {
 public:
  // named: line.ports resolved, one each, in order (possibly none).
  WatchDownload(const CommandLine& line, std::vector<PortTarget> named)
      : line_(line), named_(std::move(named)) {}

  int Run();

 private:
  struct Tally {
    std::size_t flashed = 0;
    std::size_t failed = 0;
    std::size_t interrupted = 0;
    ExitStatus firstFailure = ExitStatus::kSuccess;

    std::size_t outcomes() const { return flashed + failed + interrupted; }
  };

  // "COMn" as the window shows it, the device, its identity.
  PortTarget TargetFor(const std::string& path) const;
  std::string TallyText(const Tally& tally, std::size_t running, std::size_t settling) const;

  const CommandLine& line_;
  std::vector<PortTarget> named_;
  std::string portsDir_;
};

}  // namespace tevra
