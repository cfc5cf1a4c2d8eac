#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tevra {

// The bytes received and not yet read, with the CE_ error bits collected
// since the last ClearErrors: what a comm device's ClearCommError reports.
// A ring of fixed capacity: when it is full, new bytes are dropped (the
// first ones are kept, as their order matters more than the latest) and
// CE_RXOVER is raised.
//
// Threads: every call may come from any thread; each one is atomic.
class InputQueue {
 public:
  // Holds no byte until Reset gives it a capacity.
  InputQueue() = default;
  InputQueue(const InputQueue&) = delete;
  InputQueue& operator=(const InputQueue&) = delete;

  // Empty, no error bits, room for `capacity` bytes (0 frees the memory).
  void Reset(std::size_t capacity);
  // Appends what fits of len bytes and returns how many; when some did not
  // fit, they are dropped and CE_RXOVER is raised.
  std::size_t Put(const std::uint8_t* data, std::size_t len);
  // Moves up to len bytes, oldest first, to dst; returns how many.
  std::size_t Take(std::uint8_t* dst, std::size_t len);
  // Adds CE_ bits for the next ClearErrors.
  void Raise(std::uint32_t errors);
  // The CE_ bits raised since the last call (then cleared), and in `waiting`
  // (when not null) the bytes queued at that moment.
  std::uint32_t ClearErrors(std::size_t* waiting);

 private:
  std::mutex mutex_;
  // All guarded by mutex_.
  std::vector<std::uint8_t> ring_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::uint32_t errors_ = 0;
};

}  // namespace tevra
