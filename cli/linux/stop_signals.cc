#include "cli/stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/unique_fd.h"

namespace tevra {
namespace {

constexpr std::array<int, 4> kStopSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

}  // namespace

struct StopSignals::State {
  sigset_t previousMask{};
  struct sigaction previousPipe {};
  bool blocked = false;
  bool pipeIgnored = false;
  UniqueFd fd;
};

StopSignals::StopSignals() : state_(std::make_unique<State>()) {
  State& s = *state_;
  sigset_t stop;
  sigemptyset(&stop);
  for (const int signal : kStopSignals) {
    sigaddset(&stop, signal);
  }
  if (const int error = pthread_sigmask(SIG_BLOCK, &stop, &s.previousMask); error != 0) {
    errno = error;
    return;
  }
  s.blocked = true;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;  // NOLINT(cppcoreguidelines-pro-type-union-access): POSIX's layout
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, &s.previousPipe) != 0) {
    return;
  }
  s.pipeIgnored = true;
  s.fd = UniqueFd(signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC));
}

StopSignals::~StopSignals() {
  State& s = *state_;
  // A signal that came late (a second Ctrl-C) is taken here, so unblocking
  // does not end the process with it after all.
  if (s.fd.valid()) {
    while (Take() != 0) {
    }
  }
  s.fd.Close();
  if (s.pipeIgnored) {
    (void)sigaction(SIGPIPE, &s.previousPipe, nullptr);
  }
  if (s.blocked) {
    (void)pthread_sigmask(SIG_SETMASK, &s.previousMask, nullptr);
  }
}

bool StopSignals::valid() const {
  return state_->fd.valid();
}

Waitable StopSignals::waitable() const {
  return state_->fd.get();
}

const char* StopSignals::Names() {
  return "SIGINT, SIGTERM, SIGHUP and SIGQUIT";
}

int StopSignals::Take() {
  signalfd_siginfo info{};
  for (;;) {
    const ssize_t n = ::read(state_->fd.get(), &info, sizeof info);
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
