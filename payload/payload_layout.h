#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tevra {

// A bundled file: program image, payload, then the trailer (payload length
// L, then the magic, both unsigned 32-bit little-endian).
inline constexpr std::uint32_t PAYLOAD_MAGIC = 0x55188155;
inline constexpr std::size_t kTrailerSize = 8;

using TrailerBytes = std::array<std::uint8_t, kTrailerSize>;

enum class PayloadStatus {
  kValid,
  kNotProgram,      // not a little-endian ELF file, or its headers reach past its end
  kTooShort,        // fewer than kTrailerSize bytes
  kBadMagic,        // no trailer: the last four bytes are not PAYLOAD_MAGIC
  kLengthTooLarge,  // L exceeds the bytes before the trailer
  kEmptyPayload,    // L is 0
  kInsideProgram,   // the payload would start before the program ends
  kReadError,       // errno set
};

// Where a file's parts lie. Sizes are 64-bit: a file may exceed 4 GiB even
// though L cannot.
struct PayloadLayout {
  PayloadStatus status = PayloadStatus::kTooShort;
  std::uint64_t fileBytes = 0;
  std::uint64_t programEnd = 0;  // by the ELF headers; unless kNotProgram or kReadError
  std::uint64_t imageBytes = 0;  // where the payload starts; kValid, kEmptyPayload, kInsideProgram
  std::uint32_t payloadBytes = 0;  // L as stored; once the trailer was read
  std::uint32_t magic = 0;         // as stored; once the trailer was read
  std::string problem;             // why it is not valid, to follow the file's name

  bool valid() const { return status == PayloadStatus::kValid; }
};

// The trailer stored after a payload of payloadBytes.
TrailerBytes EncodeTrailer(std::uint32_t payloadBytes);

// Checks the last kTrailerSize bytes of a file of fileBytes bytes, which
// holds a program of programEnd bytes; problem stays empty.
PayloadLayout DecodeTrailer(std::span<const std::uint8_t, kTrailerSize> trailer,
                            std::uint64_t fileBytes, std::uint64_t programEnd = 0);

// The one check of a bundled updater, open as fd, without moving its file
// offset: its ELF headers (32- or 64-bit, little-endian, every offset within
// the file) give where the program ends, and the payload the trailer
// describes must be non-empty and start at or after that end. A file that is
// no program is refused before its trailer is looked at, so kBadMagic means
// a sound program without a payload. Reads that fail, or a file that ends
// early, give kReadError with errno set.
PayloadLayout LocatePayload(int fd);

}  // namespace tevra
