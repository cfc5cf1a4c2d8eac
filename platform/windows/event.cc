#include "platform/event.h"

#include <windows.h>

#include <cerrno>

#include "platform/windows/system_error.h"

namespace tevra {

Event::Event() {
  // Manual reset, created non-signalled, unnamed, not inherited.
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (h == nullptr) {
    (void)win32::SetErrnoFromLastError();
    return;
  }
  native_ = h;
}

Event::~Event() {
  Close();
}

void Event::Close() {
  if (native_ != kInvalid) {
    (void)CloseHandle(native_);
    native_ = kInvalid;
  }
}

// Not const: the event's observable state is what changes.
bool Event::Set() {  // NOLINT(readability-make-member-function-const)
  if (native_ == kInvalid) {
    errno = EBADF;
    return false;
  }
  if (SetEvent(native_) == 0) {
    (void)win32::SetErrnoFromLastError();
    return false;
  }
  return true;
}

bool Event::Reset() {  // NOLINT(readability-make-member-function-const)
  if (native_ == kInvalid) {
    errno = EBADF;
    return false;
  }
  if (ResetEvent(native_) == 0) {
    (void)win32::SetErrnoFromLastError();
    return false;
  }
  return true;
}

bool Event::IsSet() const {
  return native_ != kInvalid && WaitForSingleObject(native_, 0) == WAIT_OBJECT_0;
}

}  // namespace tevra
