#include "cli/stop_signals.h"

#include <windows.h>

#include <atomic>
#include <chrono>

#include "platform/event.h"
#include "platform/wait.h"
#include "platform/windows/system_error.h"

namespace tevra {
namespace {

// The Linux signals' numbers, for the same exit status (128 + the number).
constexpr int kHangUp = 1;
constexpr int kInterrupt = 2;
constexpr int kQuit = 3;
// Under the system's own limit (5 s for a closing console): the process is
// ended when the handler returns, so it waits for the run to end first.
constexpr std::chrono::milliseconds kEndGrace{4500};

// The handler runs on a thread the system makes and has no context of its
// own: what it touches lives as long as the process.
struct Shared {
  Event request;
  Event ended;
  std::atomic<int> number{0};
};

Shared& TheShared() {
  static Shared shared;
  return shared;
}

BOOL WINAPI OnControl(DWORD type) {
  Shared& s = TheShared();
  int number = kHangUp;
  if (type == CTRL_C_EVENT) {
    number = kInterrupt;
  } else if (type == CTRL_BREAK_EVENT) {
    number = kQuit;
  }
  int none = 0;
  (void)s.number.compare_exchange_strong(none, number);
  (void)s.request.Set();
  if (number == kHangUp) {
    (void)WaitAny({&s.ended}, kEndGrace);
  }
  return TRUE;
}

}  // namespace

struct StopSignals::State {
  bool installed = false;
};

StopSignals::StopSignals() : state_(std::make_unique<State>()) {
  Shared& s = TheShared();
  if (!s.request.valid() || !s.ended.valid() || !s.ended.Reset()) {
    return;
  }
  if (SetConsoleCtrlHandler(OnControl, TRUE) == 0) {
    (void)win32::SetErrnoFromLastError();
    return;
  }
  state_->installed = true;
}

StopSignals::~StopSignals() {
  if (state_->installed) {
    (void)SetConsoleCtrlHandler(OnControl, FALSE);
  }
  // A handler holding a closing console's process may let it go now.
  (void)TheShared().ended.Set();
}

bool StopSignals::valid() const {
  return state_->installed;
}

Waitable StopSignals::waitable() const {
  return TheShared().request.native();
}

const char* StopSignals::Names() {
  return "Ctrl+C, Ctrl+Break and the console's closing";
}

int StopSignals::Take() {
  Shared& s = TheShared();
  // Reset before taking: a request that comes meanwhile sets it again.
  (void)s.request.Reset();
  return s.number.exchange(0);
}

}  // namespace tevra
