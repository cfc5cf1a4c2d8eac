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

static_assert(sizeof(SerialBuffer) == 1028, "a record is exactly 1028 bytes");

}  // namespace tevra
