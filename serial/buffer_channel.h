#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "serial/serial_buffer.h"

namespace tevra {

// A FIFO of filled records and a pool of free ones, shared by one producer
// and one consumer thread. Every operation takes the channel's lock, so each
// is indivisible. Records are recycled, never freed before the channel
// dies: the number in circulation only grows, to the largest backlog seen.
class BufferChannel {
 public:
  static constexpr std::size_t kPreallocated = 100;

  // Allocation failure here ends the process, as it would at any other
  // point of start-up; the channels are process-wide objects.
  BufferChannel() noexcept;
  BufferChannel(const BufferChannel&) = delete;
  BufferChannel& operator=(const BufferChannel&) = delete;
  ~BufferChannel() = default;

  // The head of the pool, or a new record when the pool is empty. The
  // caller owns it until it appends or returns it.
  SerialBuffer* TakeFree();
  // Appends a filled record to the tail of pending.
  void Append(SerialBuffer* record, RecordOrigin origin = {});
  // Removes and returns the oldest pending record; nullptr when none.
  // origin, when given, receives what Append was told.
  SerialBuffer* RemoveHead(RecordOrigin* origin = nullptr);
  // Returns a record to the tail of the pool.
  void Return(SerialBuffer* record);
  // Moves every pending record, oldest first, to the tail of the pool.
  void Reset();

  // Queues a copy of len bytes and their trailing zero. False, queuing
  // nothing, when len exceeds SerialBuffer::kMaxLength or data is null with
  // a non-zero len: a longer record would not fit.
  bool Put(const void* data, std::uint32_t len, RecordOrigin origin = {});
  // Takes the oldest record: copies its bytes and trailing zero, never more
  // than size (the capacity of dst), sets size to the count copied and
  // returns the record to the pool. False, touching nothing, when none waits
  // (or when dst is null with a non-zero size).
  bool Get(void* dst, std::uint32_t& size, RecordOrigin* origin = nullptr);

  std::size_t PendingCount() const;
  std::size_t FreeCount() const;

 private:
  SerialBuffer* AllocateLocked();

  mutable std::mutex mutex_;
  struct Pending {
    SerialBuffer* record;
    RecordOrigin origin;
  };
  std::deque<Pending> pending_;
  std::deque<SerialBuffer*> pool_;
  // Owns every record ever allocated; the lists above only point into it.
  std::vector<std::unique_ptr<SerialBuffer>> records_;
};

// The two process-wide channels, constructed in this order at start-up.
extern BufferChannel RxChannel;  // reader worker -> window thread
extern BufferChannel TxChannel;  // window thread -> writer worker

}  // namespace tevra
