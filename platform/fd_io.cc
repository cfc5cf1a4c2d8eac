#include "platform/fd_io.h"

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

}  // namespace tevra
