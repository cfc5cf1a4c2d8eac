#include "cli/report_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tevra {

ReportFile::ReportFile(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
  fd_ = UniqueFd(::open(path.c_str(), kFlags, 0644));  // NOLINT(hicpp-signed-bitwise)
  struct stat st {};
  if (!fd_.valid()) {
    // ENXIO: a FIFO nobody reads.
    if (errno == ENXIO) {
      error_ = "not a regular file";
    } else {
      Failed();
    }
  } else if (::fstat(fd_.get(), &st) != 0) {
    Failed();
    error_ = "cannot look at it: " + error_;
  } else if (!S_ISREG(st.st_mode)) {
    error_ = "not a regular file";
  } else if (::fcntl(fd_.get(), F_SETFL, O_APPEND) != 0) {
    Failed();
    error_ = "cannot set it up: " + error_;
  } else {
    valid_ = true;
  }
}

ReportFile::~ReportFile() = default;

void ReportFile::Failed() {
  error_ = std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): the loop's thread only
}

ReportFile::Lock ReportFile::TryLock() {
  int locked = -1;
  do {
    locked = ::flock(fd_.get(), LOCK_EX | LOCK_NB);  // released with fd
  } while (locked != 0 && errno == EINTR);
  if (locked == 0) {
    return Lock::kTaken;
  }
  if (errno == EWOULDBLOCK) {
    return Lock::kHeld;
  }
  Failed();
  return Lock::kFailed;
}

std::optional<std::uint64_t> ReportFile::Size() {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) {
    Failed();
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::size_t> ReportFile::Append(std::string_view line) {
  ssize_t written = -1;
  do {
    written = ::write(fd_.get(), line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) {
    Failed();
    return std::nullopt;
  }
  return static_cast<std::size_t>(written);
}

bool ReportFile::Truncate(std::uint64_t size) {
  if (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) {
    Failed();
    return false;
  }
  return true;
}

bool ReportFile::Sync() {
  if (::fdatasync(fd_.get()) != 0) {
    Failed();
    return false;
  }
  return true;
}

}  // namespace tevra
