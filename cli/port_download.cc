#include "cli/port_download.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/grant_access.h"
#include "download/protocol.h"
#include "platform/diagnostics.h"

namespace tevra {
namespace {

using Outcome = DownloadSession::Outcome;

std::string ErrnoText(int error) {
  return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): the loop's thread only
}

}  // namespace

PortDownload::PortDownload(PortTarget target, ProgressConsole& console,
                           std::chrono::seconds silence,
                           std::optional<std::chrono::milliseconds> quietGap, OutcomeReport* report)
    : target_(std::move(target)),
      console_(console),
      report_(report),
      row_(console.AddRow(target_.name)),
      session_(*this, silence, true) {
  session_.SetQuietGap(quietGap);
}

bool PortDownload::Open(std::uint32_t baud) {
  if (!notify_.valid()) {
    End(PortResult::Failed(ExitStatus::kInternal, "no event for the port: " + ErrnoText(errno)));
    return false;
  }
  if (target_.path.empty()) {
    End(PortResult::Failed(ExitStatus::kPortNotOpened, "the port did not open: " + target_.cause));
    return false;
  }
  const std::string& device = target_.device;
  console_.SetDevice(row_, device);
  const std::string label = target_.name == device ? device : target_.name + " (" + device + ")";
  errno = 0;
  if (!session_.OpenPort(target_.path, baud, label)) {
    const int error = errno;
    const std::string cause = session_.OpenFailureCause(error, target_.path);
    if (error == EACCES || error == EPERM) {
      DiagnoseWaysOut(Printable(label), target_.name, target_.path);
    }
    End(PortResult::Failed(ExitStatus::kPortNotOpened, "the port did not open: " + cause));
    return false;
  }
  console_.Event(row_, "opened " + device + " at " + std::to_string(baud) + " baud");
  return true;
}

void PortDownload::Start(std::unique_ptr<PayloadSource> source, std::uint64_t length) {
  if (ended_) {
    return;
  }
  if (source == nullptr) {
    End(PortResult::Failed(ExitStatus::kNoPayload, "cannot read the payload: " + ErrnoText(errno)));
    return;
  }
  started_ = true;
  startedAt_ = Clock::now();
  console_.Event(row_, "erasing");
  if (!session_.StartDownload(std::move(source), length)) {
    End(PortResult::Failed(ExitStatus::kNoPayload, session_.lastDiagnostic()));
  }
}

void PortDownload::Fail(ExitStatus status, const std::string& cause) {
  End(PortResult::Failed(status, cause));
}

void PortDownload::Interrupt() {
  End(PortResult::Interrupted(Where()));
}

void PortDownload::OnNotified() {
  // Reset before the session looks: a post meanwhile sets it again.
  if (!notify_.Reset()) {
    Diagnostic("cannot reset the port's notification: " + ErrnoText(errno));
  }
  if (!ended_) {
    session_.OnNotified();
  }
}

void PortDownload::OnTick(Clock::time_point now) {
  for (int id : {DownloadSession::TIMER_PROGRESS, DownloadSession::TIMER_ERASE_RETRY,
                 DownloadSession::TIMER_WATCH}) {
    Timer& timer = TimerFor(id);
    if (ended_ || !timer.due || *timer.due > now) {
      continue;
    }
    // Periodic, without catching up on ticks a slow loop missed.
    timer.due = std::max(*timer.due + timer.period, now);
    if (id == DownloadSession::TIMER_ERASE_RETRY && !session_.sequencer().erased()) {
      console_.Event(row_, "no answer to the erase; erasing again");
    }
    session_.OnTimer(id);
  }
}

std::optional<PortDownload::Clock::time_point> PortDownload::NextDeadline() const {
  if (ended_) {
    return std::nullopt;
  }
  std::optional<Clock::time_point> next;
  for (const Timer& timer : timers_) {
    if (timer.due && (!next || *timer.due < *next)) {
      next = timer.due;
    }
  }
  return next;
}

std::string PortDownload::Where() const {
  return started_ ? session_.Where() : "before the download";
}

void PortDownload::End(PortResult result) {
  if (ended_) {
    return;
  }
  ended_ = true;
  for (Timer& timer : timers_) {
    timer.due.reset();
  }
  session_.AbandonDownload();  // nothing more goes to the device
  result_ = std::move(result);
  result_.time = std::chrono::system_clock::now();
  if (started_) {
    result_.seconds = std::chrono::duration<double>(Clock::now() - startedAt_).count();
    const std::uint64_t block = protocol::BLOCK_SIZE;
    result_.blocks = (std::uint64_t{session_.acknowledgedBytes()} + block - 1) / block;
  }
  std::string line = result_.Line();
  if (report_ == nullptr) {
    console_.Finish(row_, line);
    return;
  }
  // The closing line shows once the record is on disk or lost; this port may
  // be gone by then, its row stays.
  const bool settled = report_->Append(
      target_, result_,
      [&console = console_, row = row_, line = std::move(line)](const std::string& lost) {
        if (!lost.empty()) {
          console.Diagnostic(lost);
        }
        console.Finish(row, lost.empty() ? line : line + "; not in the report");
      });
  if (!settled) {
    console_.Event(row_, "waiting for the report: another program holds its lock");
  }
}

void PortDownload::Close() {
  session_.ClosePort();
}

void PortDownload::Wake(std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) {
  // Only a broken event refuses, which the loop's wait then reports.
  (void)notify_.Set();
}

// The window's log sentences; the console shows events of its own.
void PortDownload::Log(std::string_view /*sentence*/) {}

void PortDownload::Diagnostic(const std::string& line) {
  console_.Diagnostic(target_.name + ": " + line);
}

// Progress is shown by acknowledged bytes, not by the share queued.
void PortDownload::Progress(int /*percent*/) {}

PortDownload::Timer& PortDownload::TimerFor(int id) {
  return timers_.at(static_cast<std::size_t>(std::clamp(id, 1, 3) - 1));
}

void PortDownload::SetTimer(int id, std::chrono::milliseconds period) {
  if (ended_) {
    return;
  }
  Timer& timer = TimerFor(id);
  timer.period = period;
  timer.due = Clock::now() + period;
}

void PortDownload::KillTimer(int id) {
  TimerFor(id).due.reset();
}

void PortDownload::Advanced() {
  if (ended_) {
    return;
  }
  const Clock::time_point now = Clock::now();
  if (!erased_ && session_.sequencer().erased()) {
    erased_ = true;
    erasedAt_ = now;
    console_.Event(row_, "erased");
  }
  if (erased_) {
    const std::uint32_t done = session_.acknowledgedBytes();
    const double seconds = std::chrono::duration<double>(now - erasedAt_).count();
    const double rate = seconds > 0 && done != 0 ? done / seconds : 0;
    console_.Progress(row_, done, session_.sequencer().totalBytes(), rate);
  }
}

void PortDownload::Ended(Outcome outcome, const std::string& cause) {
  switch (outcome) {
    case Outcome::kDone:
      Advanced();
      End(PortResult::Done(session_.sequencer().totalBytes()));
      break;
    case Outcome::kAbandoned:
      break;  // only this object abandons, and it has said why
    case Outcome::kUnreadable:
      End(PortResult::Failed(ExitStatus::kNoPayload, cause));
      break;
    case Outcome::kLineGone:
    case Outcome::kWriteFailed:
    case Outcome::kSilent:
      End(PortResult::Failed(ExitStatus::kDeviceFailed, cause));
      break;
  }
}

std::unique_ptr<PortDownload> MakePortDownload(const CommandLine& line, PortTarget target,
                                               ProgressConsole& console, OutcomeReport* report) {
  return std::make_unique<PortDownload>(std::move(target), console, line.timeout, line.quietGap,
                                        report);
}

}  // namespace tevra
