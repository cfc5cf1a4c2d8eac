#include "cli/console_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tevra {

ConsoleStream::ConsoleStream(int fd) : fd_(::fcntl(fd, F_DUPFD_CLOEXEC, 0)), own_(fd_ >= 0) {
  if (!own_) {
    fd_ = fd;
  }
}

ConsoleStream::~ConsoleStream() {
  if (own_) {
    (void)::close(fd_);
  }
}

bool ConsoleStream::Write(std::string_view text) {
  std::size_t done = 0;
  while (!broken_ && done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      // Another program made the shared description non-blocking.
      pollfd ready{fd_, POLLOUT, 0};
      (void)::poll(&ready, 1, -1);
    } else if (n == 0 || errno != EINTR) {
      broken_ = true;  // the reader or the terminal is gone
    }
  }
  return !broken_;
}

bool ConsoleStream::IsLiveTerminal(int fd) {
  const char* term = std::getenv("TERM");  // NOLINT(concurrency-mt-unsafe): read-only
  return ::isatty(fd) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0;
}

std::optional<ConsoleStream::Size> ConsoleStream::TerminalSize(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
    return std::nullopt;
  }
  return Size{size.ws_col, size.ws_row};
}

AllSignalsBlocked::AllSignalsBlocked() {
  sigset_t all;
  sigfillset(&all);
  masked_ = pthread_sigmask(SIG_SETMASK, &all, &previous_) == 0;
}

AllSignalsBlocked::~AllSignalsBlocked() {
  if (masked_) {
    (void)pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
}

}  // namespace tevra
