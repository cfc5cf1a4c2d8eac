#include "platform/comm_device.h"

#include <windows.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/windows/system_error.h"

namespace tevra {
namespace {

constexpr std::uint32_t kKnownEvents = EV_RXCHAR | EV_ERR;
// The driver's queues, asked for at open; the input queue holds more.
constexpr DWORD kDriverQueue = 4096;
constexpr std::size_t kReadChunk = 4096;
// How long a wait by reading goes without a look at the line's errors, and
// the pace of retries after a read that ended with nothing: at most 10 a second.
constexpr DWORD kReadWaitLimit = 100;
static_assert(sizeof(DCB) <= 64, "the found DCB must fit CommDevice::foundDcb_");

// One overlapped operation's event and structure. The operation must have
// completed or been cancelled and collected before this goes out of scope.
struct Overlapped {
  Event done;
  OVERLAPPED ov{};
  Overlapped() { ov.hEvent = done.native(); }
};

// Waits for the operation to end and collects its result; false with the
// Win32 error in GetLastError() when it failed or was cancelled.
bool Collect(HANDLE h, Overlapped& op, DWORD& transferred) {
  return GetOverlappedResult(h, &op.ov, &transferred, TRUE) != 0;
}

// Cancels a pending operation and waits until the driver lets go of its
// buffers, so that they may be used again.
void CancelAndCollect(HANDLE h, Overlapped& op) {
  (void)CancelIoEx(h, &op.ov);
  DWORD ignored = 0;
  (void)GetOverlappedResult(h, &op.ov, &ignored, TRUE);
}

enum class ByteWait {
  kByte,     // a byte came
  kQuiet,    // the limit passed with nothing received
  kPace,     // nothing came, nor did the limit pass: look again after a pace
  kStopped,  // the stop event came first
  kFailed,   // the read failed: the device is gone
};

// Waits for the next byte with a one-byte read, at most `limit` ms or until
// `stop`. The read's completion tells of an arrival at once, without the
// driver's event machinery.
ByteWait AwaitByte(HANDLE h, const Event& stop, DWORD limit, std::uint8_t& byte) {
  // No time-outs for this read: it ends when its byte has come, and the wait
  // below bounds it. Reads of what the driver holds return at once again
  // afterwards.
  COMMTIMEOUTS untilByte{0, 0, 0, 0, 0};
  if (::SetCommTimeouts(h, &untilByte) == 0) {
    return ByteWait::kFailed;
  }
  struct Restore {
    HANDLE h;
    ~Restore() {
      COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
      (void)::SetCommTimeouts(h, &atOnce);
    }
  } restore{h};
  Overlapped op;
  if (!op.done.valid()) {
    return ByteWait::kFailed;
  }
  DWORD got = 0;
  if (::ReadFile(h, &byte, 1, &got, &op.ov) == 0) {
    if (GetLastError() != ERROR_IO_PENDING) {
      return ByteWait::kFailed;
    }
    const std::array<HANDLE, 2> handles{stop.native(), op.done.native()};
    const DWORD r = WaitForMultipleObjects(2, handles.data(), FALSE, limit);
    if (r != WAIT_OBJECT_0 + 1) {
      (void)CancelIoEx(h, &op.ov);
      // A byte that came as the wait ended is kept, not lost to the cancel.
      if (GetOverlappedResult(h, &op.ov, &got, TRUE) != 0 && got == 1) {
        return ByteWait::kByte;
      }
      if (r == WAIT_OBJECT_0) {
        return ByteWait::kStopped;
      }
      return r == WAIT_TIMEOUT ? ByteWait::kQuiet : ByteWait::kPace;
    }
  }
  if (!Collect(h, op, got)) {
    return ByteWait::kFailed;
  }
  return got == 1 ? ByteWait::kByte : ByteWait::kPace;
}

DCB ReadDcb(const std::array<unsigned char, 64>& bytes) {
  DCB dcb{};
  std::memcpy(&dcb, bytes.data(), sizeof dcb);
  return dcb;
}

}  // namespace

CommDevice::~CommDevice() {
  Close();
}

bool CommDevice::IsOpen() const {
  return handle_ != nullptr;
}

std::string CommDevice::OpenFailureCause(int error, const std::string& /*path*/) {
  switch (error) {
    case ENOENT:
      return "no such device";
    case EBUSY:
      return "busy: another program holds it";
    case EACCES:
      return "permission denied";
    default:
      return std::generic_category().message(error);
  }
}

bool CommDevice::Fail(int error, std::string cause) {
  lastError_ = {error, cause.empty() ? OpenFailureCause(error) : std::move(cause)};
  errno = error;
  return false;
}

bool CommDevice::Open(const char* path, std::string_view label) {
  if (IsOpen()) {
    errno = EISCONN;
    return false;
  }
  std::string shown = Printable(!label.empty()    ? label
                                : path != nullptr ? std::string_view(path)
                                                  : std::string_view("(null)"));
  const std::wstring wide = path != nullptr ? win32::Widen(path) : std::wstring();
  if (wide.empty()) {
    return Fail(ENOENT, "not a device path");
  }
  // No sharing: a port another program holds fails here, as it should.
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    const int error = win32::ErrnoFor(code);
    return Fail(error, OpenFailureCause(error) + " (" + win32::SystemMessage(code) + ")");
  }
  // Closes the handle on every early return.
  struct Closer {
    HANDLE h;
    ~Closer() {
      if (h != nullptr) {
        (void)CloseHandle(h);
      }
    }
  } closer{h};
  auto failWithLast = [this] {
    const DWORD code = GetLastError();
    return Fail(win32::ErrnoFor(code), win32::SystemMessage(code));
  };

  DCB found{};
  found.DCBlength = sizeof found;
  if (GetFileType(h) != FILE_TYPE_CHAR || ::GetCommState(h, &found) == 0) {
    return Fail(ENOTTY, "not a serial device");
  }
  // Raw and transparent from the first byte on: no flow control, no
  // replaced or dropped characters, errors do not stop the line.
  DCB raw = found;
  raw.fBinary = TRUE;
  raw.fOutxCtsFlow = FALSE;
  raw.fOutxDsrFlow = FALSE;
  raw.fDtrControl = DTR_CONTROL_ENABLE;
  raw.fDsrSensitivity = FALSE;
  raw.fTXContinueOnXoff = TRUE;
  raw.fOutX = FALSE;
  raw.fInX = FALSE;
  raw.fErrorChar = FALSE;
  raw.fNull = FALSE;
  raw.fRtsControl = RTS_CONTROL_ENABLE;
  raw.fAbortOnError = FALSE;
  if (::SetCommState(h, &raw) == 0) {
    return failWithLast();
  }
  // Reads of what the driver holds return at once; writes have no limit.
  COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
  (void)SetupComm(h, kDriverQueue, kDriverQueue);
  // The driver watches for both events always; the mask filters them here.
  if (::SetCommTimeouts(h, &timeouts) == 0 || ::SetCommMask(h, EV_RXCHAR | EV_ERR) == 0 ||
      PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR) == 0) {
    const bool failed = failWithLast();
    (void)::SetCommState(h, &found);
    return failed;
  }
  DWORD stale = 0;
  (void)::ClearCommError(h, &stale, nullptr);

  ResetState(kInputQueueCapacity);
  eventWaitsCancelled_ = false;
  label_ = std::move(shown);
  std::memcpy(foundDcb_.data(), &found, sizeof found);
  handle_ = std::exchange(closer.h, nullptr);
  return true;
}

bool CommDevice::Close() {
  if (!IsOpen()) {
    return false;
  }
  // Best effort on a line that may be gone; the handle is released anyway.
  (void)PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
  DCB found = ReadDcb(foundDcb_);
  (void)::SetCommState(handle_, &found);
  (void)CloseHandle(handle_);
  handle_ = nullptr;
  label_.clear();
  ResetState(0);
  return true;
}

bool CommDevice::GetCommState(CommState& state) const {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (::GetCommState(handle_, &dcb) == 0) {
    (void)win32::SetErrnoFromLastError();
    return false;
  }
  state.BaudRate = dcb.BaudRate;
  state.ByteSize = dcb.ByteSize;
  state.Parity = static_cast<tevra::Parity>(dcb.Parity);
  state.StopBits = static_cast<tevra::StopBits>(dcb.StopBits);
  return true;
}

bool CommDevice::SetCommState(const CommState& state) {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  if (state.BaudRate == 0) {
    return Fail(EINVAL, "a rate of 0");
  }
  if (state.ByteSize < 5 || state.ByteSize > 8) {
    return Fail(EINVAL, std::to_string(state.ByteSize) + " data bits");
  }
  // The codes are the DCB's own: NOPARITY..SPACEPARITY, ONESTOPBIT..TWOSTOPBITS.
  if (static_cast<unsigned>(state.Parity) > SPACEPARITY ||
      static_cast<unsigned>(state.StopBits) > TWOSTOPBITS) {
    return Fail(EINVAL, "unknown parity or stop bits");
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (::GetCommState(handle_, &dcb) == 0) {
    const DWORD code = GetLastError();
    return Fail(win32::ErrnoFor(code), win32::SystemMessage(code));
  }
  dcb.BaudRate = state.BaudRate;
  dcb.ByteSize = state.ByteSize;
  dcb.Parity = static_cast<BYTE>(state.Parity);
  dcb.fParity = state.Parity != tevra::Parity::kNone ? TRUE : FALSE;
  dcb.StopBits = static_cast<BYTE>(state.StopBits);
  if (::SetCommState(handle_, &dcb) == 0) {
    const DWORD code = GetLastError();
    return Fail(win32::ErrnoFor(code), "the driver refused " + std::to_string(state.BaudRate) +
                                           " baud (" + win32::SystemMessage(code) + ")");
  }
  // Only the rate is checked on reading back: a pseudo-terminal behind the
  // port (as under Wine) drops parity, as on Linux.
  DCB back{};
  back.DCBlength = sizeof back;
  if (::GetCommState(handle_, &back) == 0 || back.BaudRate != state.BaudRate) {
    return Fail(EINVAL, "the driver did not keep " + std::to_string(state.BaudRate) + " baud");
  }
  return true;
}

bool CommDevice::SetCommTimeouts(  // NOLINT(readability-make-member-function-const)
    const CommTimeouts& timeouts) {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  // Open already made the driver's reads return at once; the input queue
  // is what ReadFile reads.
  const bool returnAtOnce =
      timeouts.ReadIntervalTimeout == kReadReturnAtOnce &&
      timeouts.ReadTotalTimeoutMultiplier == 0 && timeouts.ReadTotalTimeoutConstant == 0 &&
      timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0;
  if (!returnAtOnce) {
    errno = EINVAL;
    return false;
  }
  return true;
}

std::uint32_t CommDevice::DrainDescriptor() {
  std::uint32_t events = 0;
  std::array<std::uint8_t, kReadChunk> chunk{};
  for (;;) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (::ClearCommError(handle_, &errors, &stat) == 0) {
      MarkGone();
      return events | EV_ERR;
    }
    if ((errors & (CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK | CE_RXOVER)) != 0) {
      queue_.Raise(errors & (CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK | CE_RXOVER));
      events |= EV_ERR;
    }
    if (stat.cbInQue == 0) {
      return events;
    }
    const DWORD want = std::min<DWORD>(stat.cbInQue, static_cast<DWORD>(chunk.size()));
    Overlapped op;
    DWORD got = 0;
    if (!op.done.valid()) {
      return events;
    }
    if (::ReadFile(handle_, chunk.data(), want, &got, &op.ov) == 0) {
      if (GetLastError() != ERROR_IO_PENDING || !Collect(handle_, op, got)) {
        MarkGone();
        return events | EV_ERR;
      }
    } else if (!Collect(handle_, op, got)) {
      MarkGone();
      return events | EV_ERR;
    }
    if (got == 0) {
      return events;
    }
    events |= EV_RXCHAR;
    if (queue_.Put(chunk.data(), got) < got) {
      events |= EV_ERR;  // the queue raised CE_RXOVER
    }
  }
}

CommWaitStatus CommDevice::WaitCommEvent(const Event& stop, std::uint32_t& mask) {
  mask = 0;
  if (!IsOpen()) {
    errno = EBADF;
    return CommWaitStatus::kFailed;
  }
  if (!stop.valid()) {
    errno = EINVAL;
    return CommWaitStatus::kFailed;
  }
  for (;;) {
    if (stop.IsSet()) {
      return CommWaitStatus::kStopped;
    }
    // Bytes that came while no wait ran count as an arrival now.
    if (!gone_) {
      history_ |= DrainDescriptor() & mask_;
    }
    if (gone_ && !goneReported_) {
      goneReported_ = true;
      history_ |= EV_ERR & mask_;
    }
    std::uint32_t report = history_ & mask_ & kKnownEvents;
    if ((report & EV_ERR) != 0) {
      // EV_ERR takes precedence; the bytes that came with it are reported
      // by the next wait.
      report = EV_ERR;
    }
    if (report != 0) {
      history_ &= ~report;
      mask = report;
      return CommWaitStatus::kEvent;
    }
    if (gone_) {
      errno = EIO;
      return CommWaitStatus::kFailed;
    }
    if (eventWaitsCancelled_) {
      std::uint8_t byte = 0;
      switch (AwaitByte(handle_, stop, kReadWaitLimit, byte)) {
        case ByteWait::kByte:
          history_ |= EV_RXCHAR & mask_;
          if (queue_.Put(&byte, 1) < 1) {
            history_ |= EV_ERR & mask_;  // the queue raised CE_RXOVER
          }
          break;
        case ByteWait::kQuiet:
          break;
        case ByteWait::kPace:
          if (WaitForSingleObject(stop.native(), kReadWaitLimit) == WAIT_OBJECT_0) {
            return CommWaitStatus::kStopped;
          }
          break;
        case ByteWait::kStopped:
          return CommWaitStatus::kStopped;
        case ByteWait::kFailed:
          MarkGone();
          break;
      }
      // The drain takes the rest of the burst and the line's errors.
      continue;
    }
    Overlapped op;
    if (!op.done.valid()) {
      return CommWaitStatus::kFailed;
    }
    DWORD happened = 0;
    if (::WaitCommEvent(handle_, &happened, &op.ov) == 0) {
      if (GetLastError() != ERROR_IO_PENDING) {
        MarkGone();
        continue;
      }
      // A byte that came between the drain and the start of this wait
      // raised no event for it: look again instead of waiting for the next.
      COMSTAT stat{};
      DWORD errors = 0;
      if (::ClearCommError(handle_, &errors, &stat) != 0 && stat.cbInQue == 0 && errors == 0) {
        const std::array<HANDLE, 2> handles{stop.native(), op.done.native()};
        const DWORD r = WaitForMultipleObjects(2, handles.data(), FALSE, INFINITE);
        if (r != WAIT_OBJECT_0 + 1) {
          CancelAndCollect(handle_, op);
          if (r == WAIT_OBJECT_0) {
            return CommWaitStatus::kStopped;
          }
          (void)win32::SetErrnoFromLastError();
          return CommWaitStatus::kFailed;
        }
      } else {
        if (errors != 0) {
          queue_.Raise(errors & (CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK | CE_RXOVER));
          history_ |= EV_ERR & mask_;
        }
        CancelAndCollect(handle_, op);
        continue;
      }
      DWORD ignored = 0;
      if (!Collect(handle_, op, ignored)) {
        if (GetLastError() != ERROR_OPERATION_ABORTED) {
          MarkGone();
          continue;
        }
        // Cancelled, and not by us: the driver cannot watch this line (Wine
        // ends every wait on a pseudo-terminal so, within milliseconds, as it
        // cannot read the modem lines). Arrivals are waited for by reading
        // from now on.
        eventWaitsCancelled_ = true;
        continue;
      }
    }
    // An empty mask means nothing happened (Wine completes a first wait so):
    // the next pass drains and waits again. EV_ERR's causes are collected
    // by the drain.
    if ((happened & EV_ERR) != 0) {
      history_ |= EV_ERR & mask_;
    }
  }
}

WriteStatus CommDevice::WriteFile(const Event& stop, const void* data, std::uint32_t len) {
  if (!IsOpen()) {
    errno = EBADF;
    return WriteStatus::kFailed;
  }
  if (!stop.valid() || (data == nullptr && len > 0)) {
    errno = EINVAL;
    return WriteStatus::kFailed;
  }
  if (gone_) {
    errno = EIO;
    return WriteStatus::kFailed;
  }
  if (len == 0) {
    return WriteStatus::kCompleted;
  }
  Overlapped op;
  if (!op.done.valid()) {
    return WriteStatus::kFailed;
  }
  DWORD written = 0;
  bool waited = false;
  if (::WriteFile(handle_, data, len, &written, &op.ov) == 0) {
    if (GetLastError() != ERROR_IO_PENDING) {
      (void)win32::SetErrnoFromLastError();
      MarkGone();
      errno = EIO;
      return WriteStatus::kFailed;
    }
    waited = true;
    const std::array<HANDLE, 2> handles{stop.native(), op.done.native()};
    const DWORD r = WaitForMultipleObjects(2, handles.data(), FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) {
      CancelAndCollect(handle_, op);
      // What the driver still holds of this write must not trickle out later.
      (void)PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
      return WriteStatus::kAbandoned;
    }
    if (r != WAIT_OBJECT_0 + 1) {
      (void)win32::SetErrnoFromLastError();
      CancelAndCollect(handle_, op);
      return WriteStatus::kFailed;
    }
  }
  if (!Collect(handle_, op, written) || written != len) {
    MarkGone();
    errno = EIO;
    return WriteStatus::kFailed;
  }
  return waited ? WriteStatus::kCompletedPending : WriteStatus::kCompleted;
}

}  // namespace tevra
