#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tevra {

// Owns one file descriptor and closes it once. Close() reports the close
// result, which matters for outputs: a deferred write error can surface
// only there.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { Reset(); }

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  // Hands the descriptor to the caller, who closes it from now on.
  int release() { return std::exchange(fd_, -1); }

  // Closes the descriptor when valid; false (errno set) when close failed.
  // The descriptor is released either way: retrying close on Linux could
  // close a descriptor another thread has just been given.
  bool Close() {
    if (fd_ < 0) {
      return true;
    }
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
  }

 private:
  // For failure paths: keeps the errno of the failure being reported.
  void Reset() {
    const int saved = errno;
    Close();
    errno = saved;
  }

  int fd_ = -1;
};

}  // namespace tevra
