#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tevra {

// A bundled file: program image, payload, then the trailer (payload length
// L, then the magic, both unsigned 32-bit little-endian).
inline constexpr std::uint32_t PAYLOAD_MAGIC = 0x55188155;
inline constexpr std::size_t kTrailerSize = 8;

using TrailerBytes = std::array<std::uint8_t, kTrailerSize>;

enum class TrailerStatus {
  kValid,
  kTooShort,        // fewer than kTrailerSize bytes
  kBadMagic,        // the last four bytes are not PAYLOAD_MAGIC
  kLengthTooLarge,  // L exceeds the bytes before the trailer
  kReadError,       // errno set
};

// Where a file's parts lie. Sizes are 64-bit: a file may exceed 4 GiB even
// though L cannot.
struct PayloadLayout {
  TrailerStatus status = TrailerStatus::kTooShort;
  std::uint64_t fileBytes = 0;
  std::uint64_t imageBytes = 0;    // valid only when status is kValid
  std::uint32_t payloadBytes = 0;  // L as stored; meaningful from kBadMagic on
  std::uint32_t magic = 0;         // as stored; meaningful from kBadMagic on

  bool valid() const { return status == TrailerStatus::kValid; }
};

// The trailer stored after a payload of payloadBytes.
TrailerBytes EncodeTrailer(std::uint32_t payloadBytes);

// Checks the last kTrailerSize bytes of a file of fileBytes bytes.
PayloadLayout DecodeTrailer(std::span<const std::uint8_t, kTrailerSize> trailer,
                            std::uint64_t fileBytes);

// Reads and checks the trailer of the open file fd, fileBytes long, without
// moving its file offset. A file that ends before fileBytes is a read error
// (errno EIO).
PayloadLayout ReadPayloadLayout(int fd, std::uint64_t fileBytes);

// One line that says why a layout is not valid; empty for a valid one.
const char* DescribeTrailerStatus(TrailerStatus status);

}  // namespace tevra
