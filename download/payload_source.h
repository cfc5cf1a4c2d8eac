#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tevra {

// Where the sequencer reads the payload from, block by block, at the offset
// of the next unsent byte. Each read sees the bytes as they are then.
class PayloadSource {
 public:
  PayloadSource() = default;
  PayloadSource(const PayloadSource&) = delete;
  PayloadSource& operator=(const PayloadSource&) = delete;
  virtual ~PayloadSource() = default;

  // Up to count bytes from offset; fewer only where the payload ends.
  // -1 with errno set on a read error.
  virtual long ReadAt(std::uint64_t offset, std::uint8_t* dst, std::size_t count) = 0;
  // The payload's name in diagnostics (its path).
  virtual const std::string& Name() const = 0;
};

}  // namespace tevra
