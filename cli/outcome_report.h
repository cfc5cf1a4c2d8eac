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
// to a file other runs may append to at the same time. Every record goes to
// the file at the path when it is written (the path is opened for it, so a
// report deleted or rotated meanwhile gets it), in one write(2) of its whole
// line on an O_APPEND descriptor, so lines of several writers never
// interleave, and is synced to disk before Append returns, so a record the
// console showed survives a crash. A write cut short (a full disk) is taken
// back: the file is put back to its size before the record, under the
// exclusive flock(2) every updater holds while it appends, so no other
// writer's line is cut. Values a port does not have (USB data of a
// pseudo-terminal, ...) are null; every key is always there.
class OutcomeReport {
 public:
  // Checks that path opens for appending, creating it (0644 before the
  // umask), and is a regular file, without blocking or writing. On failure,
  // valid() is false and error() says why in one line.
  explicit OutcomeReport(const std::string& path);

  bool valid() const { return valid_; }
  const std::string& error() const { return error_; }
  // The firmware every later record names; null until set.
  void SetFirmware(std::uint64_t bytes, std::string sha256Hex);
  // Appends the record of target's outcome. False when it is not known to
  // be on disk: error() says why, and failed() is true from then on.
  bool Append(const PortTarget& target, const PortResult& outcome);
  bool failed() const { return failed_; }

 private:
  // The file at the path now, for appending; invalid with error_ set
  // (starting with `what`) when it does not open or is no regular file.
  UniqueFd Open(const std::string& what);
  // Writes line whole or not at all; false with error_ set.
  bool Write(int fd, const std::string& line, const std::string& what);

  std::string path_;
  bool valid_ = false;
  std::string error_;
  std::optional<std::uint64_t> firmwareBytes_;
  std::string firmwareSha256_;
  bool failed_ = false;
  bool torn_ = false;  // a cut line could not be taken back
};

}  // namespace tevra
