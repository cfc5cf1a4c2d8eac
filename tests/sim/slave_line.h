#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tevra::sim::test {

// One burst of received bytes, framed by silence on the reading side.
struct Record {
  std::vector<std::uint8_t> bytes;
  std::chrono::steady_clock::time_point first;  // when its first byte was read
  std::chrono::steady_clock::time_point last;   // when its last byte was read
};

// The updater's end of the simulator's line, opened with plain POSIX calls:
// the slave device in raw mode, non-blocking. Every wait has a cap.
class SlaveLine {
 public:
  SlaveLine() = default;
  SlaveLine(const SlaveLine&) = delete;
  SlaveLine& operator=(const SlaveLine&) = delete;
  ~SlaveLine();

  bool Open(const std::string& path);
  // Takes over a non-blocking descriptor that is already the updater's end
  // (a socket, a pseudo-terminal master).
  void Adopt(int fd);
  // Discards both directions first, as the updater's close does.
  void Close();
  int fd() const { return fd_; }

  // Writes every byte, waiting for room at most `cap`.
  bool Write(const std::vector<std::uint8_t>& bytes, std::chrono::milliseconds cap) const;
  // The next burst: waits at most `cap` for a first byte, then reads until
  // `gap` passes without one. Empty bytes when nothing came.
  Record ReadRecord(std::chrono::milliseconds gap, std::chrono::milliseconds cap) const;
  // Exactly n bytes unless `cap` passes first (then fewer).
  std::vector<std::uint8_t> ReadCount(std::size_t n, std::chrono::milliseconds cap) const;
  // True if nothing arrives within `window`.
  bool QuietFor(std::chrono::milliseconds window) const;
  // True once the line reports a hang-up (POLLHUP, read 0 or EIO) within `cap`.
  bool WaitHangup(std::chrono::milliseconds cap) const;

 private:
  int fd_ = -1;
};

}  // namespace tevra::sim::test
