#include "cli/port_download.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "download/protocol.h"
#include "platform/comm_device.h"
#include "platform/port_resolver.h"

namespace tevra {
namespace {

// The window's line: 8 data bits, even parity, one stop bit.
constexpr std::uint8_t kByteSize = 8;
constexpr std::uint8_t kOneStopBit = 1;

// What the workers post besides records (see serial_port.h).
constexpr std::uintptr_t kLineGone = 2;
constexpr std::uintptr_t kWriteFailed = 3;

// How long a hung-up line may still deliver what arrived before the hang-up:
// a few quiet gaps, the time the workers take to frame the last answer.
constexpr std::chrono::milliseconds kHangupGrace{500};

// A record and its terminating zero.
constexpr std::size_t kRecordCapacity = SerialBuffer::kMaxLength + 1;

std::string ErrnoText(int error) {
  return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): the loop's thread only
}

// The device behind the port as a person knows it, e.g. /dev/ttyUSB0.
std::string DeviceOf(const std::string& port) {
  std::string path = port;
  if (port.rfind("COM", 0) == 0) {
    path =
        PortResolver::ForThisUser().DevicePath(static_cast<unsigned>(std::stoul(port.substr(3))));
  }
  std::error_code error;
  const std::filesystem::path target = std::filesystem::canonical(path, error);
  return error ? path : target.string();
}

std::string Seconds(PortDownload::Clock::duration elapsed) {
  std::array<char, 32> text{};
  (void)std::snprintf(text.data(), text.size(), "%.1f s",
                      std::chrono::duration<double>(elapsed).count());
  return text.data();
}

}  // namespace

PortDownload::PortDownload(std::string port, ProgressConsole& console, std::chrono::seconds silence)
    : port_(std::move(port)),
      console_(console),
      row_(console.AddRow(port_)),
      silence_(silence),
      serial_(rx_, tx_),
      sequencer_(*this),
      notify_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

// The workers post to this object: they stop before any member goes.
PortDownload::~PortDownload() {
  serial_.Close();
}

bool PortDownload::Open(std::uint32_t baud) {
  if (!notify_.valid()) {
    End(ExitStatus::kInternal, "failed: no event descriptor: " + ErrnoText(errno));
    return false;
  }
  const std::string device = DeviceOf(port_);
  console_.SetDevice(row_, device);
  errno = 0;
  if (!serial_.Open(this, WM_SERIAL_NOTIFY, port_, baud, kByteSize, Parity::kEven, kOneStopBit)) {
    const int error = errno;
    // The driver's refusal of a setting has its own line on stderr already.
    const std::string cause = error == EINVAL ? std::string("the driver refused the line settings")
                                              : CommDevice::OpenFailureCause(error);
    End(ExitStatus::kPortNotOpened, "failed: the port did not open: " + cause);
    return false;
  }
  sequencer_.OnPortOpened();
  console_.Event(row_, "opened " + device + " at " + std::to_string(baud) + " baud");
  return true;
}

void PortDownload::Start(std::unique_ptr<PayloadSource> source, std::uint32_t length) {
  if (ended_) {
    return;
  }
  if (source == nullptr) {
    End(ExitStatus::kNoPayload, "failed: cannot read the payload: " + ErrnoText(errno));
    return;
  }
  started_ = true;
  startedAt_ = Clock::now();
  console_.Event(row_, "erasing");
  bool accepted = true;
  Drive([&] { accepted = sequencer_.StartDownload(std::move(source), length); });
  if (!accepted) {
    End(ExitStatus::kNoPayload, "failed: " + lastDiagnostic_);
  }
}

void PortDownload::Fail(ExitStatus status, const std::string& cause) {
  End(status, "failed: " + cause);
}

void PortDownload::Interrupt() {
  End(ExitStatus::kSignalBase, "interrupted " + Where());
}

template <typename Fn>
void PortDownload::Drive(Fn fn) {
  const DownloadSequencer::Awaiting awaiting = sequencer_.awaiting();
  const bool erased = sequencer_.erased();
  fn();
  if (ended_) {
    return;
  }
  const Clock::time_point now = Clock::now();
  if (sequencer_.awaiting() != awaiting) {
    lastAnswer_ = now;  // an expected answer came (or the download began)
  }
  if (!erased && sequencer_.erased()) {
    erasedAt_ = now;
    console_.Event(row_, "erased");
  }
  const std::uint32_t total = sequencer_.totalBytes();
  if (acknowledged_) {
    acknowledgedBytes_ = total;
  } else if (sequencer_.awaiting() == DownloadSequencer::Awaiting::kHeaderAck) {
    acknowledgedBytes_ = total - sequencer_.remainingBytes();
  }
  if (sequencer_.erased()) {
    const double seconds = std::chrono::duration<double>(now - erasedAt_).count();
    const double rate = seconds > 0 ? acknowledgedBytes_ / seconds : 0;
    console_.Progress(row_, acknowledgedBytes_, total, acknowledgedBytes_ != 0 ? rate : 0);
  }
  if (acknowledged_) {
    End(ExitStatus::kSuccess, "done: " + std::to_string(total) + " bytes in " +
                                  Seconds(now - startedAt_) + ", acknowledged by the device");
  } else if (started_ && sequencer_.awaiting() == DownloadSequencer::Awaiting::kNothing) {
    // The sequencer stopped without the device's last word: the payload
    // could not be read.
    End(ExitStatus::kNoPayload, "failed: " + lastDiagnostic_);
  }
}

void PortDownload::OnNotified() {
  std::uint64_t count = 0;
  // Resets the counter; EAGAIN only means that nothing was posted since.
  if (::read(notify_.get(), &count, sizeof count) < 0 && errno != EAGAIN) {
    Diagnostic("cannot reset the port's notification: " + ErrnoText(errno));
  }
  std::array<std::uint8_t, kRecordCapacity> record{};
  for (;;) {
    std::uint32_t size = record.size();
    if (ended_ || !serial_.Receive(record.data(), size)) {
      break;
    }
    Drive([&] { sequencer_.OnRecord(record.data(), size); });
  }
  if (ended_) {
    return;
  }
  if (lineGone_ && !goneAt_) {
    // The device's last answer may still be in the framing: a device that
    // restarts once it has its firmware hangs up right after its last word.
    goneAt_ = Clock::now();
  } else if (const int error = writeError_.exchange(0); error != 0) {
    End(ExitStatus::kDeviceFailed,
        "failed: a write to the device failed " + Where() + ": " + ErrnoText(error));
  }
}

void PortDownload::OnTick(Clock::time_point now) {
  for (int id : {DownloadSequencer::TIMER_PROGRESS, DownloadSequencer::TIMER_ERASE_RETRY}) {
    Timer& timer = TimerFor(id);
    if (ended_ || !timer.due || *timer.due > now) {
      continue;
    }
    // Periodic, without catching up on ticks a slow loop missed.
    timer.due = std::max(*timer.due + timer.period, now);
    if (id == DownloadSequencer::TIMER_ERASE_RETRY && !sequencer_.erased()) {
      console_.Event(row_, "no answer to the erase; erasing again");
    }
    Drive([&] { sequencer_.OnTimer(id); });
  }
  if (!ended_ && goneAt_ && now - *goneAt_ >= kHangupGrace) {
    End(ExitStatus::kDeviceFailed, "failed: the device was disconnected " + Where());
  }
  if (!ended_ && started_ && now - lastAnswer_ >= silence_) {
    End(ExitStatus::kDeviceFailed, "failed: the device gave no answer for " +
                                       std::to_string(silence_.count()) + " s " + Where());
  }
}

std::optional<PortDownload::Clock::time_point> PortDownload::NextDeadline() const {
  if (ended_) {
    return std::nullopt;
  }
  std::optional<Clock::time_point> next;
  if (started_) {
    next = lastAnswer_ + silence_;
  }
  if (goneAt_ && (!next || *goneAt_ + kHangupGrace < *next)) {
    next = *goneAt_ + kHangupGrace;
  }
  for (const Timer& timer : timers_) {
    if (timer.due && (!next || *timer.due < *next)) {
      next = timer.due;
    }
  }
  return next;
}

std::string PortDownload::Where() const {
  if (!started_) {
    return "before the download";
  }
  if (!sequencer_.erased()) {
    return "while erasing";
  }
  constexpr std::uint64_t kBlock = protocol::BLOCK_SIZE;
  const std::uint64_t blocks = (std::uint64_t{sequencer_.totalBytes()} + kBlock - 1) / kBlock;
  const std::uint64_t block = std::min(acknowledgedBytes_ / kBlock + 1, blocks);
  return "at block " + std::to_string(block) + " of " + std::to_string(blocks);
}

void PortDownload::End(ExitStatus status, const std::string& text) {
  if (ended_) {
    return;
  }
  ended_ = true;
  status_ = status;
  for (Timer& timer : timers_) {
    timer.due.reset();
  }
  sequencer_.OnPortClosed();
  console_.Finish(row_, text);
}

void PortDownload::Close() {
  serial_.Close();
}

void PortDownload::Send(const std::uint8_t* data, std::uint32_t len) {
  if (!serial_.Send(data, len)) {
    Diagnostic("a record of " + std::to_string(len) + " bytes was not queued");
  }
}

// The window's log sentences; the console shows events of its own.
void PortDownload::Log(std::string_view /*sentence*/) {}

void PortDownload::Diagnostic(const std::string& line) {
  lastDiagnostic_ = line;
  console_.Diagnostic(port_ + ": " + line);
}

// Progress is shown by acknowledged bytes, not by the share queued.
void PortDownload::Progress(int /*percent*/) {}

PortDownload::Timer& PortDownload::TimerFor(int id) {
  return timers_.at(id == DownloadSequencer::TIMER_PROGRESS ? 0 : 1);
}

void PortDownload::SetTimer(int id, std::chrono::milliseconds period) {
  Timer& timer = TimerFor(id);
  timer.period = period;
  timer.due = Clock::now() + period;
}

void PortDownload::KillTimer(int id) {
  TimerFor(id).due.reset();
}

void PortDownload::DownloadEnded(bool /*finished*/) {}

void PortDownload::LastBlockAcknowledged() {
  acknowledged_ = true;  // the port closes once the sequencer has returned
}

bool PortDownload::Post(std::uint32_t /*msg*/, std::uintptr_t wParam, std::intptr_t lParam) {
  if (wParam == kLineGone) {
    lineGone_ = true;
  } else if (wParam == kWriteFailed) {
    writeError_ = static_cast<int>(lParam);
  }
  const std::uint64_t one = 1;
  // Only a full counter (never reached) refuses; the loop reads it anyway.
  return ::write(notify_.get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one);
}

}  // namespace tevra
