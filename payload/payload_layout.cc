#include "payload/payload_layout.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "payload/program_extent.h"

namespace tevra {
namespace {

void StoreLe32(std::uint32_t value, std::uint8_t* out) {
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::uint32_t LoadLe32(const std::uint8_t* in) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | in[i];
  }
  return value;
}

std::string Hex32(std::uint32_t value) {
  std::array<char, 11> text{};
  static_cast<void>(std::snprintf(text.data(), text.size(), "0x%08x", value));
  return text.data();
}

std::string Describe(const PayloadLayout& layout) {
  const auto n = [](std::uint64_t value) { return std::to_string(value); };
  switch (layout.status) {
    case PayloadStatus::kValid:
      return {};
    case PayloadStatus::kNotProgram:
      return layout.problem;
    case PayloadStatus::kTooShort:
      return "is " + n(layout.trailerEnd) + " bytes, shorter than the 8-byte trailer";
    case PayloadStatus::kBadMagic:
      return "has no payload trailer: magic is " + Hex32(layout.magic) + ", not " +
             Hex32(PAYLOAD_MAGIC);
    case PayloadStatus::kLengthTooLarge:
      return "has a bad trailer: payload length " + n(layout.payloadBytes) + " exceeds the " +
             n(layout.trailerEnd - kTrailerSize) + " bytes before the trailer";
    case PayloadStatus::kEmptyPayload:
      return "is damaged: its trailer records an empty payload";
    case PayloadStatus::kInsideProgram:
      return "is damaged: its payload would start at byte " + n(layout.imageBytes) +
             ", inside the program, which ends at byte " + n(layout.programEnd);
    case PayloadStatus::kReadError:
      return "cannot be read: " + std::generic_category().message(errno);
  }
  return "has an unknown layout";
}

// Decodes the trailer of a sound program into layout. A signer pads the
// file to a multiple of 8 before the certificate table: the trailer ends
// with the magic's nonzero last byte, so zeros just before the table are
// that padding. False (errno set) when a read fails.
bool ReadTrailer(const File& file, const ProgramExtent& extent, PayloadLayout& layout) {
  constexpr std::uint64_t kMostPadding = 7;
  std::uint64_t end = extent.certificateBytes != 0 ? extent.certificateOffset : layout.fileBytes;
  TrailerBytes trailer{};
  if (extent.certificateBytes != 0) {
    std::array<std::uint8_t, kTrailerSize + kMostPadding> tail{};
    const std::uint64_t have = std::min<std::uint64_t>(end, tail.size());
    if (!ReadExactlyAt(file, end - have, tail.data(), static_cast<std::size_t>(have))) {
      return false;
    }
    for (std::uint64_t i = have; i > 0 && end > extent.programEnd && tail[i - 1] == 0 &&
                                 extent.certificateOffset - end < kMostPadding;
         --i) {
      --end;
    }
  }
  if (end >= kTrailerSize &&
      !ReadExactlyAt(file, end - kTrailerSize, trailer.data(), trailer.size())) {
    return false;
  }
  const std::uint64_t fileBytes = layout.fileBytes;
  layout = DecodeTrailer(trailer, end, extent.programEnd);
  layout.fileBytes = fileBytes;
  layout.certificateBytes = extent.certificateBytes;
  return true;
}

}  // namespace

TrailerBytes EncodeTrailer(std::uint32_t payloadBytes) {
  TrailerBytes bytes{};
  StoreLe32(payloadBytes, bytes.data());
  StoreLe32(PAYLOAD_MAGIC, bytes.data() + 4);
  return bytes;
}

PayloadLayout DecodeTrailer(std::span<const std::uint8_t, kTrailerSize> trailer,
                            std::uint64_t trailerEnd, std::uint64_t programEnd) {
  PayloadLayout layout;
  layout.fileBytes = trailerEnd;
  layout.trailerEnd = trailerEnd;
  layout.programEnd = programEnd;
  if (trailerEnd < kTrailerSize) {
    layout.status = PayloadStatus::kTooShort;
    return layout;
  }
  layout.payloadBytes = LoadLe32(trailer.data());
  layout.magic = LoadLe32(trailer.data() + 4);
  const std::uint64_t beforeTrailer = trailerEnd - kTrailerSize;
  if (layout.magic != PAYLOAD_MAGIC) {
    layout.status = PayloadStatus::kBadMagic;
    return layout;
  }
  if (layout.payloadBytes > beforeTrailer) {
    layout.status = PayloadStatus::kLengthTooLarge;
    return layout;
  }
  layout.imageBytes = beforeTrailer - layout.payloadBytes;
  layout.status = layout.payloadBytes == 0         ? PayloadStatus::kEmptyPayload
                  : layout.imageBytes < programEnd ? PayloadStatus::kInsideProgram
                                                   : PayloadStatus::kValid;
  return layout;
}

PayloadLayout LocatePayload(const File& file) {
  PayloadLayout layout;
  const std::optional<std::uint64_t> size = FileSize(file);
  bool read = size.has_value();
  ProgramExtent extent;
  if (read) {
    extent = FindProgramExtent(file, *size);
    read = extent.status != ProgramExtent::Status::kReadError;
  }
  layout.fileBytes = size.value_or(0);
  if (read && extent.status == ProgramExtent::Status::kNotProgram) {
    layout.status = PayloadStatus::kNotProgram;
    layout.problem = extent.problem;
  } else if (read) {
    read = ReadTrailer(file, extent, layout);
  }
  if (!read) {
    layout.status = PayloadStatus::kReadError;
  }
  const int saved = errno;
  layout.problem = Describe(layout);
  errno = saved;
  return layout;
}

}  // namespace tevra
