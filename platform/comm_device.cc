#include "platform/comm_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/line_settings.h"
#include "platform/port_resolver.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

constexpr std::uint32_t kKnownEvents = EV_RXCHAR | EV_ERR;
// Reads per wake-up before polling again, so a line that never pauses
// cannot keep WaitCommEvent from noticing its stop request.
constexpr int kMaxReadsPerWake = 64;
constexpr std::size_t kReadChunk = 4096;

// "COM<n>" with n a decimal number of 1 or more, without sign or leading
// zero: the names the port forms with "COM%d". Anything else is no port.
bool ParsePortName(const char* name, unsigned& port) {
  if (name == nullptr) {
    return false;
  }
  const std::string_view s(name);
  constexpr std::string_view kPrefix = "COM";
  if (s.size() <= kPrefix.size() || s.substr(0, kPrefix.size()) != kPrefix) {
    return false;
  }
  const std::string_view digits = s.substr(kPrefix.size());
  if (digits.front() < '1' || digits.front() > '9' ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  return ec == std::errc() && end == digits.data() + digits.size();
}

// What a person should see for the device: the link's target when the
// path is a link (the adapter, e.g. /dev/ttyUSB0), else the path itself.
std::string DisplayPath(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::array<char, 4096> target{};
    const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n > 0) {
      return std::string(target.data(), static_cast<std::size_t>(n));
    }
  }
  return path;
}

std::string Cause(int error, const char* lockKind = "flock") {
  switch (error) {
    case EACCES:
    case EPERM:
      return "permission denied; join the dialout group and log in again";
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

std::array<int, 5> ToArray(const serial_icounter_struct& c) {
  return {c.frame, c.overrun, c.parity, c.brk, c.buf_overrun};
}

constexpr std::array<std::uint32_t, 5> kLineErrorBits = {CE_FRAME, CE_OVERRUN, CE_RXPARITY,
                                                         CE_BREAK, CE_OVERRUN};

bool IsUnsupported(int error) {
  return error == ENOTTY || error == EINVAL;
}

}  // namespace

CommDevice::~CommDevice() {
  Close();
}

std::string CommDevice::OpenFailureCause(int error) {
  return Cause(error);
}

bool CommDevice::IsOpen() const {
  return fd_ >= 0;
}

void CommDevice::ReportOpenFailure(const char* name, const std::string& path, int error,
                                   const std::string& cause) const {
  std::string line = std::string("tevra-updater: ") + (name != nullptr ? name : "(null)");
  if (!path.empty() && path != name) {
    line += " (" + DisplayPath(path) + ")";
  }
  line += ": ";
  if (!cause.empty()) {
    line += cause;
  } else {
    line += path.empty() ? std::string("no such port") : Cause(error, "flock");
  }
  line += '\n';
  // One write, so the line is not interleaved with another thread's output.
  (void)std::fwrite(line.data(), 1, line.size(), stderr);
  errno = error;
}

void CommDevice::ReportLineFailure(const std::string& what) const {
  const std::string line = "tevra-updater: " + label_ + ": " + what + "\n";
  (void)std::fwrite(line.data(), 1, line.size(), stderr);
}

bool CommDevice::Open(const char* name) {
  if (IsOpen()) {
    errno = EISCONN;
    return false;
  }
  unsigned port = 0;
  const bool isPath = name != nullptr && name[0] == '/';
  if (!isPath && !ParsePortName(name, port)) {
    ReportOpenFailure(name, {}, ENOENT);
    return false;
  }
  std::string path = isPath ? std::string(name) : std::string();
  if (!isPath) {
    PortResolver ports = PortResolver::ForThisUser();
    path = ports.DevicePath(port);
    if (path.empty()) {
      ReportOpenFailure(name, {}, ENOENT,
                        "no device has this number (in use: " + ports.NumbersInUse() + ")");
      return false;
    }
  }
  const int raw = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (raw < 0) {
    ReportOpenFailure(name, path, errno);
    return false;
  }
  UniqueFd fd(raw);  // closes on every early return
  if (isatty(raw) == 0) {
    ReportOpenFailure(name, path, errno);  // ENOTTY for a plain file
    return false;
  }
  // flock is what keeps out root too (TIOCEXCL does not stop CAP_SYS_ADMIN).
  if (::flock(raw, LOCK_EX | LOCK_NB) != 0) {
    ReportOpenFailure(name, path, errno);
    return false;
  }
  if (::ioctl(raw, TIOCEXCL) != 0) {
    ReportOpenFailure(name, path, errno);
    return false;
  }
  // Nothing may be translated from the first byte on.
  LineSettings line;
  if (!ReadLineSettings(raw, line)) {
    const int error = errno;
    (void)::ioctl(raw, TIOCNXCL);
    ReportOpenFailure(name, path, error);
    return false;
  }
  const LineSettings found = line;
  MakeRaw(line);
  if (!WriteLineSettings(raw, line)) {
    const int error = errno;
    (void)::ioctl(raw, TIOCNXCL);
    ReportOpenFailure(name, path, error);
    return false;
  }

  // Bytes that reached the line before this open are stale; the port's
  // start-up purge only sees the input queue, so drop them here.
  if (::tcflush(raw, TCIFLUSH) != 0) {
    const int error = errno;
    (void)WriteLineSettings(raw, found);
    (void)::ioctl(raw, TIOCNXCL);
    ReportOpenFailure(name, path, error);
    return false;
  }

  serial_icounter_struct counts{};
  lineCountsSupported_ = ::ioctl(raw, TIOCGICOUNT, &counts) == 0;
  lineErrors_ = ToArray(counts);
  ResetState(kInputQueueCapacity);
  label_ = isPath ? path : std::string(name) + " (" + DisplayPath(path) + ")";
  found_ = found;
  fd_ = fd.release();
  return true;
}

void CommDevice::ResetState(std::size_t capacity) {
  {
    const std::lock_guard lock(queueMutex_);
    queue_.assign(capacity, 0);
    queue_.shrink_to_fit();
    queueHead_ = 0;
    queueSize_ = 0;
    errors_ = 0;
  }
  mask_ = 0;
  gone_ = false;
  goneReported_ = false;
  unreported_ = {};
  nextErrorReport_ = {};
  history_ = 0;
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
  NoteLineErrors({}, true);
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

bool CommDevice::SetCommMask(std::uint32_t mask) {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  mask_ = mask;
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
    return false;
  }
  MakeRaw(line);
  if (!SetRate(line, state.BaudRate)) {
    ReportLineFailure("a rate of 0 baud would hang the line up");
    errno = EINVAL;
    return false;
  }
  if (!SetDataBits(line, state.ByteSize) || !SetParity(line, state.Parity) ||
      !SetStopBits(line, state.StopBits)) {
    ReportLineFailure("unsupported data bits, parity or stop bits");
    errno = EINVAL;
    return false;
  }
  if (!WriteLineSettings(fd_, line)) {
    const int error = errno;
    ReportLineFailure(std::string("the driver refused the line settings: ") +
                      std::strerror(error));  // NOLINT(concurrency-mt-unsafe): setup thread
    errno = error;
    return false;
  }
  LineSettings back;
  if (!ReadLineSettings(fd_, back)) {
    return false;
  }
  if (RateOf(back) != state.BaudRate) {
    ReportLineFailure("the driver refused " + std::to_string(state.BaudRate) + " baud (it keeps " +
                      std::to_string(RateOf(back)) + ")");
    errno = EINVAL;
    return false;
  }
  // A pseudo-terminal forces CS8 without parity; any other difference means
  // the line would not run as asked.
  const bool asAsked = DataBitsOf(back) == state.ByteSize && ParityOf(back) == ParityOf(line);
  const bool ptyForced = DataBitsOf(back) == 8 && ParityOf(back) == Parity::kNone;
  if ((!asAsked && !ptyForced) || StopBitsOf(back) != StopBitsOf(line)) {
    ReportLineFailure("the driver does not keep the data bits, parity or stop bits");
    errno = EINVAL;
    return false;
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

void CommDevice::MarkGone() {
  if (!gone_.exchange(true)) {
    ReportLineFailure("the device hung up or was unplugged");
  }
  const std::lock_guard lock(queueMutex_);
  errors_ |= CE_IOE;
}

void CommDevice::NoteLineErrors(const std::array<long, kErrorKinds>& counts, bool flush) {
  for (std::size_t i = 0; i < counts.size(); ++i) {
    unreported_[i] += counts[i];
  }
  const auto now = std::chrono::steady_clock::now();
  if (!flush && now < nextErrorReport_) {
    return;
  }
  static constexpr std::array<const char*, kErrorKinds> kNames = {
      "framing", "overrun",        "parity",
      "break",   "buffer overrun", "bytes dropped (input queue full)"};
  std::string text;
  for (std::size_t i = 0; i < unreported_.size(); ++i) {
    if (unreported_[i] > 0) {
      text += (text.empty() ? "" : ", ") + std::to_string(unreported_[i]) + " " + kNames[i];
    }
  }
  if (!text.empty()) {
    ReportLineFailure("line errors: " + text);
    nextErrorReport_ = now + kErrorReportGap;
  }
  unreported_ = {};
}

std::uint32_t CommDevice::DrainDescriptor() {
  std::array<std::uint8_t, kReadChunk> chunk{};
  std::uint32_t events = 0;
  long dropped = 0;
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
    const std::lock_guard lock(queueMutex_);
    const std::size_t room = queue_.size() - queueSize_;
    const std::size_t kept = std::min(count, room);
    for (std::size_t k = 0; k < kept; ++k) {
      queue_[(queueHead_ + queueSize_ + k) % queue_.size()] = chunk[k];
    }
    queueSize_ += kept;
    if (kept > 0) {
      events |= EV_RXCHAR;
    }
    if (kept < count) {
      errors_ |= CE_RXOVER;
      events |= EV_ERR;
      dropped += static_cast<long>(count - kept);
    }
  }
  if (dropped > 0) {
    std::array<long, kErrorKinds> counts{};
    counts[kErrorKinds - 1] = dropped;
    NoteLineErrors(counts, false);
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
  const std::array<int, 5> now = ToArray(counts);
  std::uint32_t bits = 0;
  std::array<long, kErrorKinds> grown{};
  for (std::size_t i = 0; i < now.size(); ++i) {
    if (now[i] != lineErrors_[i]) {
      bits |= kLineErrorBits[i];
      grown[i] = static_cast<long>(now[i]) - lineErrors_[i];
    }
  }
  if (bits != 0) {
    NoteLineErrors(grown, false);
  }
  lineErrors_ = now;
  if (bits == 0) {
    return 0;
  }
  const std::lock_guard lock(queueMutex_);
  errors_ |= bits;
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

bool CommDevice::ClearCommError(std::uint32_t* errors, std::uint32_t* inQueue) {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  const std::lock_guard lock(queueMutex_);
  if (errors != nullptr) {
    *errors = errors_;
  }
  errors_ = 0;
  if (inQueue != nullptr) {
    *inQueue = static_cast<std::uint32_t>(queueSize_);
  }
  return true;
}

bool CommDevice::ReadFile(void* dst, std::uint32_t len, std::uint32_t& read) {
  read = 0;
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  if (dst == nullptr && len > 0) {
    errno = EINVAL;
    return false;
  }
  auto* out = static_cast<std::uint8_t*>(dst);
  const std::lock_guard lock(queueMutex_);
  const std::size_t take = std::min<std::size_t>(len, queueSize_);
  for (std::size_t k = 0; k < take; ++k) {
    out[k] = queue_[(queueHead_ + k) % queue_.size()];
  }
  queueHead_ = take == queueSize_ ? 0 : (queueHead_ + take) % queue_.size();
  queueSize_ -= take;
  read = static_cast<std::uint32_t>(take);
  return true;
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
      } else {
        ReportLineFailure(std::string("a write failed: ") +
                          std::strerror(error));  // NOLINT(concurrency-mt-unsafe): messages only
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
