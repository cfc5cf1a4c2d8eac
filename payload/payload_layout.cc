#include "payload/payload_layout.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "platform/fd_io.h"

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

}  // namespace

TrailerBytes EncodeTrailer(std::uint32_t payloadBytes) {
  TrailerBytes bytes{};
  StoreLe32(payloadBytes, bytes.data());
  StoreLe32(PAYLOAD_MAGIC, bytes.data() + 4);
  return bytes;
}

PayloadLayout DecodeTrailer(std::span<const std::uint8_t, kTrailerSize> trailer,
                            std::uint64_t fileBytes) {
  PayloadLayout layout;
  layout.fileBytes = fileBytes;
  if (fileBytes < kTrailerSize) {
    layout.status = TrailerStatus::kTooShort;
    return layout;
  }
  layout.payloadBytes = LoadLe32(trailer.data());
  layout.magic = LoadLe32(trailer.data() + 4);
  const std::uint64_t beforeTrailer = fileBytes - kTrailerSize;
  if (layout.magic != PAYLOAD_MAGIC) {
    layout.status = TrailerStatus::kBadMagic;
  } else if (layout.payloadBytes > beforeTrailer) {
    layout.status = TrailerStatus::kLengthTooLarge;
  } else {
    layout.status = TrailerStatus::kValid;
    layout.imageBytes = beforeTrailer - layout.payloadBytes;
  }
  return layout;
}

PayloadLayout ReadPayloadLayout(int fd, std::uint64_t fileBytes) {
  PayloadLayout layout;
  layout.fileBytes = fileBytes;
  if (fileBytes < kTrailerSize) {
    layout.status = TrailerStatus::kTooShort;
    return layout;
  }
  if (fileBytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EOVERFLOW;
    layout.status = TrailerStatus::kReadError;
    return layout;
  }
  TrailerBytes trailer{};
  // A file shorter than it claimed (it shrank, or a pseudo-file) fails too.
  if (!ReadExactly(fd, trailer.data(), trailer.size(),
                   static_cast<off_t>(fileBytes - kTrailerSize))) {
    layout.status = TrailerStatus::kReadError;
    return layout;
  }
  return DecodeTrailer(trailer, fileBytes);
}

const char* DescribeTrailerStatus(TrailerStatus status) {
  switch (status) {
    case TrailerStatus::kValid:
      return "";
    case TrailerStatus::kTooShort:
      return "file is shorter than the 8-byte trailer";
    case TrailerStatus::kBadMagic:
      return "no payload trailer (wrong magic)";
    case TrailerStatus::kLengthTooLarge:
      return "payload length in the trailer exceeds the file";
    case TrailerStatus::kReadError:
      return "cannot read the trailer";
  }
  return "unknown trailer status";
}

}  // namespace tevra
