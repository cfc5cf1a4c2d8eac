#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/file.h"

namespace tevra {

// A bundled file: program image, payload, then the trailer (payload length
// L, then the magic, both unsigned 32-bit little-endian). A PE file signed
// after bundling has its certificate table after the trailer, the signer's
// alignment (up to 7 zero bytes) between them.
inline constexpr std::uint32_t PAYLOAD_MAGIC = 0x55188155;
inline constexpr std::size_t kTrailerSize = 8;

using TrailerBytes = std::array<std::uint8_t, kTrailerSize>;

enum class PayloadStatus {
  kValid,
  kNotProgram,      // neither a little-endian ELF nor a PE file, or its headers do not fit it
  kTooShort,        // fewer than kTrailerSize bytes before where the trailer would end
  kBadMagic,        // no trailer: the four bytes before its end are not PAYLOAD_MAGIC
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
  // Where the trailer ends: the file's end, or a signed PE's certificate
  // table less the signer's padding.
  std::uint64_t trailerEnd = 0;
  std::uint64_t certificateBytes = 0;  // a signed PE's certificate table
  std::uint64_t programEnd = 0;        // by its headers; unless kNotProgram or kReadError
  std::uint64_t imageBytes = 0;  // where the payload starts; kValid, kEmptyPayload, kInsideProgram
  std::uint32_t payloadBytes = 0;  // L as stored; once the trailer was read
  std::uint32_t magic = 0;         // as stored; once the trailer was read
  std::string problem;             // why it is not valid, to follow the file's name

  bool valid() const { return status == PayloadStatus::kValid; }
};

// The trailer stored after a payload of payloadBytes.
TrailerBytes EncodeTrailer(std::uint32_t payloadBytes);

// Checks the kTrailerSize bytes that end at trailerEnd in a file that holds
// a program of programEnd bytes; fileBytes is set to trailerEnd, problem
// stays empty.
PayloadLayout DecodeTrailer(std::span<const std::uint8_t, kTrailerSize> trailer,
                            std::uint64_t trailerEnd, std::uint64_t programEnd = 0);

// The one check of a bundled updater, without moving its file position:
// its headers (FindProgramExtent: ELF or PE) give where the program ends,
// and the payload the trailer describes must be non-empty and start at or
// after that end. The trailer ends at the file's end, or, when a PE's
// header names a certificate table, just before that table. A file that is
// no program is refused before its trailer is looked at, so kBadMagic means
// a sound program without a payload. Reads that fail, or a file that ends
// early, give kReadError with errno set.
PayloadLayout LocatePayload(const File& file);

}  // namespace tevra
