#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "platform/fd_io.h"

namespace tevra {
namespace {

int Fd(const File& file) {
  return static_cast<int>(file.native());
}

}  // namespace

bool File::Close() {
  if (native_ == -1) {
    return true;
  }
  // Not retried after EINTR: the descriptor is gone either way on Linux,
  // and a retry could close one another thread has just been given.
  return ::close(static_cast<int>(std::exchange(native_, -1))) == 0;
}

File OpenFileToRead(const std::string& path) {
  UniqueFd fd = OpenRegularFile(path.c_str(), O_RDONLY | O_CLOEXEC);
  return File(fd.valid() ? fd.release() : -1);
}

File CreateFreshFile(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      errno = S_ISLNK(st.st_mode) ? ELOOP : (S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
      return File();
    }
    if (::unlink(path.c_str()) < 0 && errno != ENOENT) {
      return File();
    }
  } else if (errno != ENOENT) {
    return File();
  }
  // O_EXCL: whatever appeared at the path since the unlink is not ours.
  UniqueFd fd = OpenRegularFile(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                S_IRUSR | S_IWUSR);
  return File(fd.valid() ? fd.release() : -1);
}

std::optional<std::uint64_t> FileSize(const File& file) {
  struct stat st {};
  if (::fstat(Fd(file), &st) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(st.st_size);
}

std::int64_t ReadAt(const File& file, std::uint64_t offset, std::uint8_t* data, std::size_t count) {
  constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  if (offset > kMaxOffset || count > kMaxOffset - offset) {
    errno = EOVERFLOW;
    return -1;
  }
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::pread(Fd(file), data + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (n == 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(got);
}

bool WriteFully(const File& file, const std::uint8_t* data, std::size_t count) {
  return WriteAll(Fd(file), data, count);
}

bool Truncate(const File& file, std::uint64_t size) {
  if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EFBIG;
    return false;
  }
  return ::ftruncate(Fd(file), static_cast<off_t>(size)) == 0;
}

File Duplicate(const File& file) {
  return File(::fcntl(Fd(file), F_DUPFD_CLOEXEC, 0));
}

}  // namespace tevra
