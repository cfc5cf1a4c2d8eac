#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/file.h"

namespace tevra {

// SHA-256 (FIPS 180-4), fed in pieces of any size. Small and free of any
// library, so the headless path names its firmware without loading one.
class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  void Update(std::span<const std::uint8_t> bytes);
  // The digest of everything given; the object is spent afterwards.
  Digest Finish();
  // Lower-case hex, as sha256sum prints it.
  static std::string Hex(const Digest& digest);
  // The hex digest of `length` bytes of file from `offset`, read in place
  // whatever the file position; empty (errno set) when they cannot be read.
  static std::string HexOfRange(const File& file, std::uint64_t offset, std::uint64_t length);

 private:
  void Compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes given
};

}  // namespace tevra
