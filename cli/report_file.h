#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tevra {

// The report's file for one record (see OutcomeReport), opened for
// appending at its path, created when missing; only a regular file is
// kept. Closing it releases its lock. Every failure leaves one line for a
// person in error(), in the system's words.
//
// Linux: O_APPEND (0644 before the umask) opened without blocking, so a
// FIFO or a device at the path cannot hold the run; the lock is flock(2)'s
// exclusive one, which other updaters and collectors take too. Windows: the
// lock is LockFileEx's exclusive lock over the whole file, and a write goes
// to the file's end as the system places it.
class ReportFile {
 public:
  explicit ReportFile(const std::string& path);
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;
  ~ReportFile();

  bool valid() const { return valid_; }
  const std::string& error() const { return error_; }

  enum class Lock { kTaken, kHeld, kFailed };
  // Takes the exclusive lock without waiting: kHeld when another program
  // has it.
  Lock TryLock();
  // The file's size now.
  std::optional<std::uint64_t> Size();
  // One write of line at the file's end; how many bytes it took.
  std::optional<std::size_t> Append(std::string_view line);
  // Cuts the file back to size bytes.
  bool Truncate(std::uint64_t size);
  // On disk before it returns.
  bool Sync();

 private:
  void Failed();

#if defined(_WIN32)
  void* handle_ = nullptr;  // HANDLE
  bool locked_ = false;
#else
  UniqueFd fd_;
#endif
  bool valid_ = false;
  std::string error_;
};

}  // namespace tevra
