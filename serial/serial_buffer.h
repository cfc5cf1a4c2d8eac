#pragma once

#include <cstddef>
#include <cstdint>

namespace tevra {

// One record of the buffer channels: a length and up to 1023 bytes followed
// by a zero byte, so a full record still carries its terminator.
struct SerialBuffer {
  static constexpr std::size_t kCapacity = 1024;
  static constexpr std::uint32_t kMaxLength = kCapacity - 1;

  std::uint32_t length = 0;
  std::uint8_t data[kCapacity] = {};
};

// What the reader knew of a received record's bytes when it framed them, so
// that its owner can tell an answer from bytes that were already on their way.
struct RecordOrigin {
  // How many records had been queued for sending when its first byte arrived.
  std::uint64_t sendsBefore = 0;
  // The line's silence ended it and it holds the whole burst: nothing was cut
  // at the record's size or dropped from a full input queue.
  bool whole = false;
};

static_assert(sizeof(SerialBuffer) == 1028, "a record is exactly 1028 bytes");

}  // namespace tevra
