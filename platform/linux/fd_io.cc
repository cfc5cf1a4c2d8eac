#include "platform/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tevra {

bool WriteAll(int fd, const std::uint8_t* data, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, data, count);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadExactly(int fd, std::uint8_t* data, std::size_t count, std::optional<off_t> at) {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = at ? ::pread(fd, data + got, count - got, *at + static_cast<off_t>(got))
                         : ::read(fd, data + got, count - got);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

UniqueFd OpenRegularFile(const char* path, int flags, mode_t mode, struct stat* st) {
  UniqueFd fd(::open(path, flags | O_NONBLOCK, mode));
  struct stat own {};
  struct stat& status = st != nullptr ? *st : own;
  if (!fd.valid() || ::fstat(fd.get(), &status) < 0) {
    return UniqueFd();
  }
  if (!S_ISREG(status.st_mode)) {
    errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    return UniqueFd();
  }
  const int current = ::fcntl(fd.get(), F_GETFL);
  if (current < 0 || ::fcntl(fd.get(), F_SETFL, current & ~O_NONBLOCK) < 0) {
    return UniqueFd();
  }
  return fd;
}

}  // namespace tevra
