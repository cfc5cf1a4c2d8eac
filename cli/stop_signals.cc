#include "cli/stop_signals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace tevra {

StopSignals::StopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  for (const int signal : kStopSignals) {
    sigaddset(&stop, signal);
  }
  if (const int error = pthread_sigmask(SIG_BLOCK, &stop, &previousMask_); error != 0) {
    errno = error;
    return;
  }
  blocked_ = true;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;  // NOLINT(cppcoreguidelines-pro-type-union-access): POSIX's layout
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, &previousPipe_) != 0) {
    return;
  }
  pipeIgnored_ = true;
  fd_ = UniqueFd(signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC));
}

StopSignals::~StopSignals() {
  // A signal that came late (a second Ctrl-C) is taken here, so unblocking
  // does not end the process with it after all.
  if (fd_.valid()) {
    while (Take() != 0) {
    }
  }
  fd_.Close();
  if (pipeIgnored_) {
    (void)sigaction(SIGPIPE, &previousPipe_, nullptr);
  }
  if (blocked_) {
    (void)pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  }
}

int StopSignals::Take() {
  signalfd_siginfo info{};
  for (;;) {
    const ssize_t n = ::read(fd_.get(), &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) {
      return static_cast<int>(info.ssi_signo);
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return 0;
  }
}

}  // namespace tevra
