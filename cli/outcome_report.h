#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli/port_result.h"
#include "cli/port_targets.h"

namespace tevra {

class ReportFile;

// --report FILE: one JSON object per line for each port's outcome, appended
// to a file other runs may append to at the same time. Every record goes to
// the file at the path when it is written (the path is opened for it, so a
// report deleted or rotated meanwhile gets it), in one write of its whole
// line at the file's end (see ReportFile), so lines of several writers never
// interleave, and is synced to disk before it counts as written, so a record
// the console showed survives a crash. A write cut short (a full disk) is
// taken back: the file is put back to its size before the record, under the
// exclusive lock every updater holds while it appends, so no other
// writer's line is cut. Values a port does not have (USB data of a
// pseudo-terminal, ...) are null; every key is always there.
//
// The lock is never waited for: the run's loop drives every download. While
// another program (a collector, a backup, another updater) holds it, records
// wait, in order, and OnTick tries again every kRetryPeriod until the lock
// is had or the run gives them up.
class OutcomeReport {
 public:
  using Clock = std::chrono::steady_clock;
  // Told once what became of a record: `lost` is empty when it is on disk,
  // else why it is not, in one line.
  using Settled = std::function<void(const std::string& lost)>;

  static constexpr std::chrono::milliseconds kRetryPeriod{100};

  // Checks that path opens for appending, creating it (0644 before the
  // umask), and is a regular file, without blocking or writing. On failure,
  // valid() is false and error() says why in one line. version: the
  // updater's, in every record.
  OutcomeReport(const std::string& path, std::string version);

  bool valid() const { return valid_; }
  const std::string& error() const { return error_; }
  // The firmware every later record names; null until set.
  void SetFirmware(std::uint64_t bytes, std::string sha256Hex);
  // Writes the record of target's outcome now, or queues it while another
  // program holds the lock or earlier records wait. True when settled has
  // been called; false when the record waits.
  bool Append(const PortTarget& target, const PortResult& outcome, Settled settled);
  // Writes the records that wait, in order, as far as the lock lets it, once
  // NextTry() has come.
  void OnTick(Clock::time_point now);
  std::optional<Clock::time_point> NextTry() const;
  std::size_t waiting() const { return waiting_.size(); }
  // Settles every record that waits as lost, each with its own line.
  void GiveUp(const std::string& why);
  // A record is not known to be on disk.
  bool failed() const { return failed_; }

 private:
  struct Record {
    std::string port;
    std::string line;
    Settled settled;
  };
  enum class Attempt { kWritten, kLocked, kFailed };

  // The file at the path now, for appending; invalid with error_ set
  // (starting with `what`) when it does not open or is no regular file.
  std::unique_ptr<ReportFile> Open(const std::string& what);
  Attempt Try(const Record& record);
  // Writes line whole or not at all to file, which holds the lock; false with
  // error_ set.
  bool Write(ReportFile& file, const std::string& line, const std::string& what);
  std::string What(const std::string& port) const;
  void Settle(Record& record, Attempt attempt);

  std::string path_;
  std::string version_;
  bool valid_ = false;
  std::string error_;
  std::optional<std::uint64_t> firmwareBytes_;
  std::string firmwareSha256_;
  bool failed_ = false;
  bool torn_ = false;  // a cut line could not be taken back
  std::deque<Record> waiting_;
  Clock::time_point nextTry_{};
};

}  // namespace tevra
