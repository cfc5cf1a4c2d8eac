#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <stop_token>
#include <string>

namespace tevra {

// How long a numbering waits for the lock that another updater holds on the
// state: at most `limit`, then it numbers without remembering (and says so);
// once `stop` is requested, no longer, and then it numbers no adapter.
struct StateLockWait {
  // Far longer than one load-assign-save takes: a holder that long is stuck.
  std::chrono::milliseconds limit{std::chrono::seconds(5)};
  std::stop_token stop;
};

// What the state remembers of one adapter.
struct RememberedPort {
  unsigned number = 0;
  // The scan that saw it last, counted up; larger is more recent.
  std::uint64_t seen = 0;
  bool operator==(const RememberedPort&) const = default;
};

// The file "ports" of the state directory: one line "COM<n> <seen> <key>"
// per adapter (lines "COM<n> <key>" of older versions read as seen 0).
//
// Read and written only under an exclusive flock on the directory, so two
// updaters that number at once never lose each other's adapters. The file is
// replaced atomically (temporary file, fsync, rename, fsync of the
// directory) and only when what it remembers changes, keeping the kMaxAdapters
// seen most recently. Trouble never stops the numbering; one line through
// Diagnose says what was not remembered and why:
// - anything but a regular file at the path (a link, a FIFO, a device, a
//   directory) is left alone: a link is not followed, and the open cannot
//   block on a FIFO or a device, which is then never read;
// - a damaged file, or one larger than kMaxSize (not ours: ours stays far
//   below), is moved aside to "ports.damaged" and the numbering starts afresh;
// - a file without write permission is read and never replaced.
class PortStateFile {
 public:
  using Entries = std::map<std::string, RememberedPort>;  // by adapter key
  // Changes the entries; returns what it numbered anew in words for a person
  // ("COM3 (/dev/ttyUSB0)"), empty when nothing.
  using Assign = std::function<std::string(Entries&)>;

  explicit PortStateFile(std::string dir, StateLockWait wait = {});

  // Runs assign once on what is remembered (nothing when the file cannot be
  // used) and remembers the result; not at all when the wait for the lock
  // was stopped.
  void Update(const Assign& assign) const;

  const std::string& path() const { return file_; }

  static constexpr std::size_t kMaxAdapters = 64;
  static constexpr std::size_t kMaxSize = std::size_t{256} * 1024;

 private:
  std::string dir_;
  std::string file_;
  StateLockWait wait_;
};

}  // namespace tevra
