#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tevra {

Event::Event() : native_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Event::~Event() {
  Close();
}

void Event::Close() {
  if (native_ >= 0) {
    // close() releases the descriptor even when it reports an error; retrying
    // could close a descriptor another thread has just been given.
    (void)::close(native_);
    native_ = -1;
  }
}

// Not const: the event's observable state is what changes.
bool Event::Set() {  // NOLINT(readability-make-member-function-const)
  if (native_ < 0) {
    errno = EBADF;
    return false;
  }
  const std::uint64_t one = 1;
  for (;;) {
    const ssize_t n = ::write(native_, &one, sizeof one);
    if (n == static_cast<ssize_t>(sizeof one)) {
      return true;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    // EAGAIN only when the counter is near its maximum, which repeated Sets of
    // 1 never reach before a Reset: the event is signalled either way.
    return n < 0 && errno == EAGAIN;
  }
}

bool Event::Reset() {  // NOLINT(readability-make-member-function-const)
  if (native_ < 0) {
    errno = EBADF;
    return false;
  }
  std::uint64_t value = 0;
  for (;;) {
    // One read takes the whole counter to zero; EAGAIN means it already was.
    const ssize_t n = ::read(native_, &value, sizeof value);
    if (n == static_cast<ssize_t>(sizeof value)) {
      return true;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return n < 0 && errno == EAGAIN;
  }
}

bool Event::IsSet() const {
  if (native_ < 0) {
    return false;
  }
  pollfd p{native_, POLLIN, 0};
  for (;;) {
    const int r = ::poll(&p, 1, 0);
    if (r >= 0) {
      return r > 0 && (p.revents & POLLIN) != 0;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

}  // namespace tevra
