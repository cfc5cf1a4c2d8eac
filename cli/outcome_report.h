#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/port_result.h"
#include "cli/port_targets.h"
#include "platform/unique_fd.h"

namespace tevra {

// --report FILE: one JSON object per line for each port's outcome, appended
// to a file other runs may append to at the same time. Every record is one
// write(2) of its whole line on an O_APPEND descriptor, so lines of several
// writers never interleave, and is synced to disk before Append returns, so
// a record the console showed survives a crash. Values a port does not have
// (USB data of a pseudo-terminal, ...) are null; every key is always there.
class OutcomeReport {
 public:
  // Opens path for appending, creating it (0644 before the umask); anything
  // but a regular file is refused without blocking or writing. On failure,
  // valid() is false and error() says why in one line.
  explicit OutcomeReport(const std::string& path);

  bool valid() const { return fd_.valid(); }
  const std::string& error() const { return error_; }
  // The firmware every later record names; null until set.
  void SetFirmware(std::uint64_t bytes, std::string sha256Hex);
  // Appends the record of target's outcome. False when it is not known to
  // be on disk: error() says why, and failed() is true from then on.
  bool Append(const PortTarget& target, const PortResult& outcome);
  bool failed() const { return failed_; }

 private:
  std::string path_;
  UniqueFd fd_;
  std::string error_;
  std::optional<std::uint64_t> firmwareBytes_;
  std::string firmwareSha256_;
  bool failed_ = false;
  bool torn_ = false;  // a short write left a line without its end
};

}  // namespace tevra
