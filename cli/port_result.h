#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "cli/exit_status.h"

namespace tevra {

// How one port ended, built once when it ends: the console's closing line,
// the report's record and the run's tally are all drawn from this.
struct PortResult {
  enum class Kind { kDone, kFailed, kInterrupted };

  Kind kind = Kind::kFailed;
  // kFailed: the cause's status; else kSuccess (a stop's status is the run's).
  ExitStatus status = ExitStatus::kSuccess;
  // kFailed: why ("the device gave no answer for 1 s at block 4 of 8");
  // kInterrupted: where it stood ("at block 3 of 8"); kDone: empty.
  std::string cause;
  std::chrono::system_clock::time_point time;
  double seconds = 0;        // since the download started; 0 when it never did
  std::uint64_t bytes = 0;   // kDone: the firmware's size
  std::uint64_t blocks = 0;  // acknowledged by the device

  static PortResult Done(std::uint64_t bytes);
  static PortResult Failed(ExitStatus status, std::string cause);
  static PortResult Interrupted(std::string where);

  // The closing words of the port's row: "done: ...", "failed: ...",
  // "interrupted ...".
  std::string Line() const;
  // The record's cause: null (empty) when done, else the closing words
  // without "failed: ".
  std::string RecordCause() const;
};

}  // namespace tevra
