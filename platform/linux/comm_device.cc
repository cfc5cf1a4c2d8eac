#include "platform/comm_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/line_settings.h"
#include "platform/port_access.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

constexpr std::uint32_t kKnownEvents = EV_RXCHAR | EV_ERR;
// Reads per wake-up before polling again, so a line that never pauses
// cannot keep WaitCommEvent from noticing its stop request.
constexpr int kMaxReadsPerWake = 64;
constexpr std::size_t kReadChunk = 4096;

std::string Cause(int error, const char* lockKind = "flock") {
  switch (error) {
    case EACCES:
    case EPERM:
      return "permission denied";
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return "no such device";
    case EBUSY:
      return "busy: another program holds it exclusively (TIOCEXCL)";
    case EWOULDBLOCK:
      return std::string("busy: another program holds it (") + lockKind + ")";
    case ENOTTY:
      return "not a serial device";
    default:
      return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): Open runs on one thread
  }
}

int PollRetrying(pollfd* fds, nfds_t count) {
  for (;;) {
    const int r = ::poll(fds, count, -1);
    if (r >= 0 || errno != EINTR) {
      return r;
    }
  }
}

LineErrorCounter::DriverCounts ToArray(const serial_icounter_struct& c) {
  return {c.frame, c.overrun, c.parity, c.brk, c.buf_overrun};
}

bool IsUnsupported(int error) {
  return error == ENOTTY || error == EINVAL;
}

}  // namespace

CommDevice::~CommDevice() {
  Close();
}

std::string CommDevice::OpenFailureCause(int error, const std::string& path) {
  if ((error == EACCES || error == EPERM) && !path.empty()) {
    const std::string why = ExaminePortAccess(path).Why();
    if (!why.empty()) {
      return Cause(error) + ": " + why;
    }
  }
  return Cause(error);
}

bool CommDevice::IsOpen() const {
  return fd_ >= 0;
}

bool CommDevice::Fail(int error, std::string cause) {
  lastError_ = {error, cause.empty() ? Cause(error) : std::move(cause)};
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
  if (path == nullptr || path[0] != '/') {
    return Fail(ENOENT, "not an absolute device path");
  }
  const int raw = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (raw < 0) {
    const int error = errno;
    return Fail(error, OpenFailureCause(error, path));
  }
  UniqueFd fd(raw);  // closes on every early return
  if (isatty(raw) == 0) {
    return Fail(errno);  // ENOTTY for a plain file
  }
  // flock is what keeps out root too (TIOCEXCL does not stop CAP_SYS_ADMIN).
  if (::flock(raw, LOCK_EX | LOCK_NB) != 0 || ::ioctl(raw, TIOCEXCL) != 0) {
    return Fail(errno);
  }
  // Nothing may be translated from the first byte on.
  LineSettings line;
  if (!ReadLineSettings(raw, line)) {
    const int error = errno;
    (void)::ioctl(raw, TIOCNXCL);
    return Fail(error);
  }
  const LineSettings found = line;
  MakeRaw(line);
  if (!WriteLineSettings(raw, line)) {
    const int error = errno;
    (void)::ioctl(raw, TIOCNXCL);
    return Fail(error);
  }

  // Bytes that reached the line before this open are stale; the port's
  // start-up purge only sees the input queue, so drop them here.
  if (::tcflush(raw, TCIFLUSH) != 0) {
    const int error = errno;
    (void)WriteLineSettings(raw, found);
    (void)::ioctl(raw, TIOCNXCL);
    return Fail(error);
  }

  serial_icounter_struct counts{};
  lineCountsSupported_ = ::ioctl(raw, TIOCGICOUNT, &counts) == 0;
  lineErrors_.Start(shown, ToArray(counts));
  ResetState(kInputQueueCapacity);
  label_ = std::move(shown);
  found_ = found;
  fd_ = fd.release();
  return true;
}

bool CommDevice::Close() {
  if (!IsOpen()) {
    return false;
  }
  // Unsent output would make close() wait for it (up to 30 s on some
  // drivers); the exclusive flag would outlive us on a pseudo-terminal.
  // A console or another program on the device expects its settings back.
  // Each step is best effort: on a hung-up line they fail with EIO, and the
  // descriptor must be released regardless.
  lineErrors_.Flush();
  (void)::tcflush(fd_, TCIOFLUSH);
  (void)WriteLineSettings(fd_, found_);
  (void)::ioctl(fd_, TIOCNXCL);
  (void)::flock(fd_, LOCK_UN);
  (void)::close(fd_);
  fd_ = -1;
  label_.clear();
  ResetState(0);
  return true;
}

bool CommDevice::GetCommState(CommState& state) const {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  LineSettings line;
  if (!ReadLineSettings(fd_, line)) {
    return false;
  }
  state.BaudRate = RateOf(line);
  state.ByteSize = DataBitsOf(line);
  state.Parity = ParityOf(line);
  state.StopBits = StopBitsOf(line);
  return true;
}

bool CommDevice::SetCommState(const CommState& state) {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  LineSettings line;
  if (!ReadLineSettings(fd_, line)) {
    return Fail(errno);
  }
  MakeRaw(line);
  if (!SetRate(line, state.BaudRate)) {
    return Fail(EINVAL, "a rate of 0 baud would hang the line up");
  }
  if (!SetDataBits(line, state.ByteSize) || !SetParity(line, state.Parity) ||
      !SetStopBits(line, state.StopBits)) {
    return Fail(EINVAL, "unsupported data bits, parity or stop bits");
  }
  if (!WriteLineSettings(fd_, line)) {
    const int error = errno;
    return Fail(error, std::string("the driver refused the line settings: ") +
                           std::strerror(error));  // NOLINT(concurrency-mt-unsafe): setup thread
  }
  LineSettings back;
  if (!ReadLineSettings(fd_, back)) {
    return Fail(errno);
  }
  if (RateOf(back) != state.BaudRate) {
    return Fail(EINVAL, "the driver refused " + std::to_string(state.BaudRate) +
                            " baud (it keeps " + std::to_string(RateOf(back)) + ")");
  }
  // A pseudo-terminal forces CS8 without parity; any other difference means
  // the line would not run as asked.
  const bool asAsked = DataBitsOf(back) == state.ByteSize && ParityOf(back) == ParityOf(line);
  const bool ptyForced = DataBitsOf(back) == 8 && ParityOf(back) == Parity::kNone;
  if ((!asAsked && !ptyForced) || StopBitsOf(back) != StopBitsOf(line)) {
    return Fail(EINVAL, "the driver does not keep the data bits, parity or stop bits");
  }
  requested_ = line;
  return true;
}

// Not const: it is a setting, even though only one value is accepted.
bool CommDevice::SetCommTimeouts(  // NOLINT(readability-make-member-function-const)
    const CommTimeouts& timeouts) {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
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
  std::array<std::uint8_t, kReadChunk> chunk{};
  std::uint32_t events = 0;
  std::size_t dropped = 0;
  for (int i = 0; i < kMaxReadsPerWake; ++i) {
    const ssize_t n = ::read(fd_, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      break;
    }
    if (n <= 0) {
      // End of file or EIO: the other side hung up.
      MarkGone();
      events |= EV_ERR;
      break;
    }
    const auto count = static_cast<std::size_t>(n);
    const std::size_t kept = queue_.Put(chunk.data(), count);
    if (kept > 0) {
      events |= EV_RXCHAR;
    }
    if (kept < count) {
      events |= EV_ERR;
      dropped += count - kept;
    }
  }
  if (dropped > 0) {
    lineErrors_.NoteDropped(dropped, std::chrono::steady_clock::now());
  }
  return events;
}

std::uint32_t CommDevice::CheckLineErrors() {
  if (!lineCountsSupported_) {
    return 0;
  }
  serial_icounter_struct counts{};
  if (::ioctl(fd_, TIOCGICOUNT, &counts) != 0) {
    if (IsUnsupported(errno)) {
      lineCountsSupported_ = false;
    }
    return 0;
  }
  const std::uint32_t bits = lineErrors_.Update(ToArray(counts), std::chrono::steady_clock::now());
  if (bits == 0) {
    return 0;
  }
  queue_.Raise(bits);
  return EV_ERR;
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
    if (gone_ && !goneReported_) {
      // A hang-up noticed by WriteFile is reported here as well, once.
      goneReported_ = true;
      history_ |= EV_ERR & mask_;
    }
    std::uint32_t report = history_ & mask_ & kKnownEvents;
    if ((report & EV_ERR) != 0) {
      // A waiter gives EV_ERR precedence and would otherwise never hear of
      // the bytes that came with it: report them on the next wait instead.
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
    std::array<pollfd, 2> fds{pollfd{stop.fd(), POLLIN, 0}, pollfd{fd_, POLLIN, 0}};
    if (PollRetrying(fds.data(), fds.size()) < 0) {
      return CommWaitStatus::kFailed;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      return CommWaitStatus::kStopped;
    }
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
      errno = EBADF;
      return CommWaitStatus::kFailed;
    }
    const short device = fds[1].revents;
    // Events outside the mask are not remembered; the bytes still queue.
    if ((device & POLLIN) != 0) {
      history_ |= DrainDescriptor() & mask_;
    }
    if (!gone_ && (device & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      MarkGone();
    }
    if (!gone_) {
      history_ |= CheckLineErrors() & mask_;
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
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::size_t left = len;
  bool waited = false;
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n > 0) {
      p += n;
      left -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN) {
      const int error = errno;
      if (error == EIO) {
        MarkGone();
      }
      errno = error;
      return WriteStatus::kFailed;
    }
    waited = true;
    std::array<pollfd, 2> fds{pollfd{stop.fd(), POLLIN, 0}, pollfd{fd_, POLLOUT, 0}};
    if (PollRetrying(fds.data(), fds.size()) < 0) {
      return WriteStatus::kFailed;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      // What the driver still holds of this write must not trickle out later.
      (void)::tcflush(fd_, TCOFLUSH);
      return WriteStatus::kAbandoned;
    }
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
      errno = EBADF;
      return WriteStatus::kFailed;
    }
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      MarkGone();
      errno = EIO;
      return WriteStatus::kFailed;
    }
  }
  return waited ? WriteStatus::kCompletedPending : WriteStatus::kCompleted;
}

}  // namespace tevra
