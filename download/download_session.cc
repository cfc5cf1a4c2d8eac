#include "download/download_session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "download/protocol.h"
#include "platform/comm_device.h"
#include "serial/quiet_gap_thread.h"

namespace tevra {
namespace {

using Awaiting = DownloadSequencer::Awaiting;

// The window's line: 8 data bits, even parity, one stop bit; with the start
// bit, 11 bits a byte.
constexpr std::uint8_t kByteSize = 8;
constexpr std::uint8_t kOneStopBit = 1;
constexpr std::uint64_t kBitsPerByte = 11;

// How long a hung-up line may still deliver what arrived before the hang-up:
// a few quiet gaps, the time the workers take to frame the last answer.
constexpr std::chrono::milliseconds kHangupGrace{500};

// A record and its terminating zero.
constexpr std::uint32_t kRecordCapacity = SerialBuffer::kCapacity;

std::string ErrnoText(int error) {
  return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): the owner's thread only
}

// Bytes the device sends for the answer awaited after sending `sent`.
std::uint64_t AnswerBytes(Awaiting awaiting, std::uint32_t sent) {
  switch (awaiting) {
    case Awaiting::kEraseAck:
      return protocol::kEraseAck.size();
    case Awaiting::kHeaderAck:
      return protocol::kHeaderAckOffset + protocol::kHeaderAck.size();
    default:
      return std::uint64_t{sent} + protocol::kBlockAck.size();
  }
}

}  // namespace

DownloadSession::DownloadSession(Frontend& frontend, std::optional<std::chrono::seconds> silence)
    : frontend_(frontend), silence_(silence), sequencer_(*this) {}

DownloadSession::DownloadSession(Frontend& frontend, std::optional<std::chrono::seconds> silence,
                                 bool /*ownChannels*/)
    : frontend_(frontend),
      silence_(silence),
      ownRx_(std::make_unique<BufferChannel>()),
      ownTx_(std::make_unique<BufferChannel>()),
      port_(*ownRx_, *ownTx_),
      sequencer_(*this) {}

DownloadSession::~DownloadSession() {
  port_.Close();
}

bool DownloadSession::OpenPort(const std::string& path, std::uint32_t baud,
                               const std::string& label) {
  return Opened(
      port_.Open(this, WM_SERIAL_NOTIFY, path, baud, kByteSize, Parity::kEven, kOneStopBit, label),
      baud);
}

bool DownloadSession::OpenPort(std::uint8_t portNumber, std::uint32_t baud) {
  return Opened(
      port_.Open(this, WM_SERIAL_NOTIFY, portNumber, baud, kByteSize, Parity::kEven, kOneStopBit),
      baud);
}

std::chrono::milliseconds DownloadSession::MinQuietGap(std::uint32_t baud) {
  return tevra::MinQuietGap(baud, static_cast<unsigned>(kBitsPerByte));
}

std::string DownloadSession::OpenFailureCause(int error, const std::string& path) const {
  const CommError& failed = port_.LastError();
  return failed.error == error && !failed.cause.empty() ? failed.cause
                                                        : CommDevice::OpenFailureCause(error, path);
}

bool DownloadSession::Opened(bool opened, std::uint32_t baud) {
  ForgetLine();
  if (opened) {
    baud_ = baud;
    sequencer_.OnPortOpened();
    ArmWatch();
  }
  return opened;
}

void DownloadSession::ClosePort() {
  port_.Close();
  sequencer_.OnPortClosed();
  ForgetLine();
  ArmWatch();
}

// A line's past (a hang-up, a failed write) belongs to the port it happened
// on, not to the next one or to the download once the port is closed.
void DownloadSession::ForgetLine() {
  lineGone_ = false;
  writeError_ = 0;
  goneAt_.reset();
}

bool DownloadSession::StartDownload(std::unique_ptr<PayloadSource> source, std::uint64_t length) {
  lastDiagnostic_.clear();
  acknowledgedBytes_ = 0;
  ending_ = Outcome::kAbandoned;
  endCause_.clear();
  // A line that hung up before the start keeps its time: the watch ends
  // the download at once.
  bool started = false;
  Drive([&] { started = sequencer_.StartDownload(std::move(source), length); });
  return started;
}

void DownloadSession::AbandonDownload() {
  ending_ = Outcome::kAbandoned;
  endCause_.clear();
  sequencer_.AbandonDownload();
  ArmWatch();
}

template <typename Fn>
void DownloadSession::Drive(Fn fn) {
  const Awaiting before = sequencer_.awaiting();
  fn();
  const Awaiting now = sequencer_.awaiting();
  if (now != before) {
    awaitSince_ = Clock::now();
    awaitSends_ = lastSendCount_;
    awaitSentBytes_ = lastSendBytes_;
    if (now == Awaiting::kHeaderAck || now == Awaiting::kNothing) {
      acknowledgedBytes_ = sequencer_.totalBytes() - sequencer_.remainingBytes();
    }
    frontend_.Advanced();
  }
  if (sequencer_.downloading() && now == Awaiting::kNothing) {
    // The sequencer stopped short of the end: the payload could not be read.
    End(Outcome::kUnreadable, lastDiagnostic_);
  }
  ArmWatch();
}

void DownloadSession::OnNotified() {
  std::array<std::uint8_t, kRecordCapacity> record{};
  for (;;) {
    std::uint32_t size = record.size();
    RecordOrigin origin;
    if (!port_.Receive(record.data(), size, &origin)) {
      break;
    }
    // An answer to a command can only begin after the command was queued,
    // and must be whole: a stuck or foreign device streaming answer
    // patterns gets nothing from bytes that merely look right.
    if (origin.whole && origin.sendsBefore >= awaitSends_) {
      Drive([&] { sequencer_.OnRecord(record.data(), size); });
    }
  }
  if (lineGone_ && !goneAt_) {
    // The device's last answer may still be in the framing: a device that
    // restarts once it has its firmware hangs up right after its last word.
    goneAt_ = Clock::now();
    ArmWatch();
  }
  if (const int error = writeError_.exchange(0); error != 0 && sequencer_.downloading()) {
    End(Outcome::kWriteFailed, "a write to the device failed " + Where() + ": " + ErrnoText(error));
  }
}

void DownloadSession::OnTimer(int id) {
  if (id != TIMER_WATCH) {
    Drive([&] { sequencer_.OnTimer(id); });
    return;
  }
  const Clock::time_point now = Clock::now();
  if (sequencer_.downloading() && goneAt_ && now - *goneAt_ >= HangupGrace()) {
    End(Outcome::kLineGone, "the device was disconnected " + Where());
  } else if (sequencer_.downloading() && silence_ && now >= SilenceDeadline()) {
    End(Outcome::kSilent,
        "the device gave no answer for " + std::to_string(silence_->count()) + " s " + Where());
  }
  ArmWatch();
}

void DownloadSession::End(Outcome outcome, const std::string& cause) {
  if (!sequencer_.downloading()) {
    return;
  }
  ending_ = outcome;
  endCause_ = cause;
  // Through the sequencer, so the erase retry stops and the payload closes
  // as for "Com Close"; it reports back through DownloadEnded.
  sequencer_.AbandonDownload();
}

std::optional<DownloadSession::Clock::time_point> DownloadSession::WatchDeadline(
    Clock::time_point now) const {
  if (!sequencer_.downloading()) {
    return std::nullopt;
  }
  if (goneAt_) {
    return std::max(now, *goneAt_ + HangupGrace());
  }
  if (!silence_ || !sequencer_.portOpen()) {
    return std::nullopt;
  }
  return std::max(now, SilenceDeadline());
}

// Silence counts from the last byte, but never from before the command
// could have reached the device; the answer itself may take its line time,
// and its framing the quiet gap, which is the updater's and never the device's.
DownloadSession::Clock::time_point DownloadSession::SilenceDeadline() const {
  const Clock::time_point heard =
      std::max(port_.LastReceived(), awaitSince_ + LineTime(awaitSentBytes_));
  const Clock::duration answerTime =
      LineTime(awaitSentBytes_ + AnswerBytes(sequencer_.awaiting(), awaitSentBytes_));
  const Clock::duration framing = port_.QuietGap();
  return std::min(heard + *silence_ + framing, awaitSince_ + *silence_ + answerTime + framing);
}

// The last answer's framing outlasts a hang-up by up to a quiet gap.
DownloadSession::Clock::duration DownloadSession::HangupGrace() const {
  return std::max<Clock::duration>(kHangupGrace, kHangupGrace + port_.QuietGap() - kQuietGap);
}

void DownloadSession::ArmWatch() {
  const Clock::time_point now = Clock::now();
  const std::optional<Clock::time_point> due = WatchDeadline(now);
  if (!due) {
    frontend_.KillTimer(TIMER_WATCH);
    return;
  }
  // Rounded up, so the tick never comes just before the deadline; never
  // negative, which a timer would refuse.
  frontend_.SetTimer(TIMER_WATCH,
                     std::max(std::chrono::milliseconds(0),
                              std::chrono::ceil<std::chrono::milliseconds>(*due - now)));
}

DownloadSession::Clock::duration DownloadSession::LineTime(std::uint64_t bytes) const {
  if (baud_ == 0) {
    return {};
  }
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(bytes * kBitsPerByte) / baud_));
}

std::string DownloadSession::Where() const {
  if (!sequencer_.erased()) {
    return "while erasing";
  }
  constexpr std::uint64_t kBlock = protocol::BLOCK_SIZE;
  const std::uint64_t blocks = (std::uint64_t{sequencer_.totalBytes()} + kBlock - 1) / kBlock;
  const std::uint64_t block = std::min(acknowledgedBytes_ / kBlock + 1, blocks);
  return "at block " + std::to_string(block) + " of " + std::to_string(blocks);
}

bool DownloadSession::Post(std::uint32_t /*msg*/, std::uintptr_t wParam, std::intptr_t lParam) {
  switch (NoticeOf(wParam)) {
    case SerialNotice::kLineGone:
      lineGone_ = true;
      break;
    case SerialNotice::kWriteFailed:
      writeError_ = static_cast<int>(lParam);
      break;
    default:
      break;
  }
  frontend_.Wake(wParam, lParam);
  return true;
}

void DownloadSession::Send(const std::uint8_t* data, std::uint32_t len) {
  if (!port_.Send(data, len)) {
    Diagnostic("a record of " + std::to_string(len) + " bytes was not queued");
    return;
  }
  lastSendCount_ = port_.SendCount();
  lastSendBytes_ = len;
}

void DownloadSession::Log(std::string_view sentence) {
  frontend_.Log(sentence);
}

void DownloadSession::Diagnostic(const std::string& line) {
  lastDiagnostic_ = line;
  frontend_.Diagnostic(line);
}

void DownloadSession::Progress(int percent) {
  frontend_.Progress(percent);
}

void DownloadSession::SetTimer(int id, std::chrono::milliseconds period) {
  frontend_.SetTimer(id, period);
}

void DownloadSession::KillTimer(int id) {
  frontend_.KillTimer(id);
}

void DownloadSession::DownloadEnded(bool finished) {
  if (finished) {
    acknowledgedBytes_ = sequencer_.totalBytes();
    frontend_.Ended(Outcome::kDone, {});
  } else {
    frontend_.Ended(ending_, endCause_);
  }
  ending_ = Outcome::kAbandoned;
  endCause_.clear();
}

}  // namespace tevra
