#include "download/fd_payload_source.h"

#include <algorithm>
#include <cerrno>
#include <limits>

namespace tevra {

std::unique_ptr<FdPayloadSource> FdPayloadSource::Open(const std::string& path) {
  File file = OpenFileToRead(path);
  if (!file.valid()) {
    return nullptr;
  }
  return std::make_unique<FdPayloadSource>(std::move(file), path);
}

std::int64_t FdPayloadSource::Size() const {
  if (length_ >= 0) {
    return length_;
  }
  const std::optional<std::uint64_t> size = FileSize(file_);
  if (!size || *size > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    errno = size ? EOVERFLOW : errno;
    return -1;
  }
  return static_cast<std::int64_t>(*size);
}

long FdPayloadSource::ReadAt(std::uint64_t offset, std::uint8_t* dst, std::size_t count) {
  if (length_ >= 0) {
    const auto length = static_cast<std::uint64_t>(length_);
    count = offset >= length
                ? 0
                : static_cast<std::size_t>(std::min<std::uint64_t>(count, length - offset));
  }
  offset += start_;
  if (offset < start_ || count > static_cast<std::size_t>(std::numeric_limits<long>::max())) {
    errno = EOVERFLOW;
    return -1;
  }
  // The payload ends where the file does.
  return static_cast<long>(tevra::ReadAt(file_, offset, dst, count));
}

}  // namespace tevra
