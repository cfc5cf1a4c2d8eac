#include "download/fd_payload_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace tevra {

std::unique_ptr<FdPayloadSource> FdPayloadSource::Open(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return nullptr;
  }
  return std::make_unique<FdPayloadSource>(std::move(fd), path);
}

std::int64_t FdPayloadSource::Size() const {
  if (length_ >= 0) {
    return length_;
  }
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) {
    return -1;
  }
  return st.st_size;
}

long FdPayloadSource::ReadAt(std::uint64_t offset, std::uint8_t* dst, std::size_t count) {
  if (length_ >= 0) {
    const auto length = static_cast<std::uint64_t>(length_);
    count = offset >= length
                ? 0
                : static_cast<std::size_t>(std::min<std::uint64_t>(count, length - offset));
  }
  offset += start_;
  if (offset < start_ || offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) -
                                      static_cast<std::uint64_t>(count)) {
    errno = EOVERFLOW;
    return -1;
  }
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::pread(fd_.get(), dst + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (n == 0) {
      break;  // the payload ends here
    }
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long>(got);
}

}  // namespace tevra
