#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "cli/exit_status.h"
#include "cli/port_result.h"

namespace tevra {

// The outcomes of a headless run so far, and the failure its exit status
// names: that of the first port, in the order the ports started (the order
// given, for named ones), that failed.
class RunTally {
 public:
  // `order`: when the port started among the run's ports, counted from 0.
  void Add(const PortResult& result, std::size_t order);

  std::size_t outcomes() const { return flashed_ + failed_ + interrupted_; }
  ExitStatus firstFailure() const { return firstFailure_; }
  // "2 flashed, 1 failed, 1 interrupted, 3 running, 1 settling"; the last
  // three only when not 0.
  std::string Text(std::size_t running, std::size_t settling) const;

 private:
  std::size_t flashed_ = 0;
  std::size_t failed_ = 0;
  std::size_t interrupted_ = 0;
  ExitStatus firstFailure_ = ExitStatus::kSuccess;
  std::optional<std::size_t> firstFailureOrder_;
};

}  // namespace tevra
