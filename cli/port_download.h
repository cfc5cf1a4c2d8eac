#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cli/command_line.h"
#include "cli/exit_status.h"
#include "cli/loop_wait.h"
#include "cli/outcome_report.h"
#include "cli/port_result.h"
#include "cli/port_targets.h"
#include "cli/progress_console.h"
#include "download/download_session.h"
#include "download/payload_source.h"
#include "platform/event.h"

namespace tevra {

// One port of a headless download: a download session with channels of its
// own, the timers the session asks for as deadlines of the event loop, and
// what it shows on the console. Driven by one event loop thread (every call
// but the session's Wake and Close); the port's workers only wake it, which
// sets the event waitable() names. Once it has ended it ignores its port until Close.
//
// The session decides success (the device's acceptance of the last block)
// and failure (silence, a hang-up, a failed write); this adds the causes of
// its own (the port did not open, no payload, a stop signal) and the exit
// status.
class PortDownload final : private DownloadSession::Frontend {
 public:
  using Clock = DownloadSession::Clock;

  // target: the port as named and what it resolved to. quietGap: the
  // silence that ends an answer (unset: the window's). report, when given,
  // gets the port's outcome before its closing line shows (which may be
  // after this is gone); it outlives this.
  PortDownload(PortTarget target, ProgressConsole& console, std::chrono::seconds silence,
               std::optional<std::chrono::milliseconds> quietGap = std::nullopt,
               OutcomeReport* report = nullptr);
  PortDownload(const PortDownload&) = delete;
  PortDownload& operator=(const PortDownload&) = delete;
  ~PortDownload() override = default;

  // Opens the port at baud, 8E1. False when it did not open; the port has
  // then ended.
  bool Open(std::uint32_t baud);
  // Starts the download of length bytes from source.
  void Start(std::unique_ptr<PayloadSource> source, std::uint64_t length);
  // Ends the port with a failure that is not its own (no payload, ...).
  void Fail(ExitStatus status, const std::string& cause);
  // A stop signal: the port says where it stood.
  void Interrupt();
  // Closes the port once it has ended. Closing takes a moment (the workers
  // stop, the line settles), so the ports close together at the end, each
  // on a thread of its own, rather than one by one while others still run;
  // nothing else may touch this object meanwhile.
  void Close();

  // The port as resolved: what it opened, or tried to.
  const PortTarget& target() const { return target_; }
  // Ready when the workers have posted; OnNotified takes it.
  Waitable waitable() const { return notify_.native(); }
  void OnNotified();
  // Runs the timers that are due.
  void OnTick(Clock::time_point now);
  // The earliest moment OnTick has work; none once ended.
  std::optional<Clock::time_point> NextDeadline() const;

  bool ended() const { return ended_; }
  // How it ended; meaningful once ended().
  const PortResult& result() const { return result_; }

 private:
  struct Timer {
    std::chrono::milliseconds period{0};
    std::optional<Clock::time_point> due;
  };

  // DownloadSession::Frontend
  void Wake(std::uintptr_t wParam, std::intptr_t lParam) override;
  void Log(std::string_view sentence) override;
  void Diagnostic(const std::string& line) override;
  void Progress(int percent) override;
  void SetTimer(int id, std::chrono::milliseconds period) override;
  void KillTimer(int id) override;
  void Ended(DownloadSession::Outcome outcome, const std::string& cause) override;
  void Advanced() override;

  // The closing line, once the result is in the report, if any.
  void End(PortResult result);
  std::string Where() const;
  Timer& TimerFor(int id);

  PortTarget target_;
  ProgressConsole& console_;
  OutcomeReport* report_;
  std::size_t row_;
  Event notify_;
  std::array<Timer, 3> timers_{};
  bool started_ = false;
  bool ended_ = false;
  bool erased_ = false;
  PortResult result_;
  Clock::time_point startedAt_{};
  Clock::time_point erasedAt_{};
  // Declared last: its port's workers stop before the members above go.
  DownloadSession session_;
};

// Every port of a run, with the run's settings from its command line.
std::unique_ptr<PortDownload> MakePortDownload(const CommandLine& line, PortTarget target,
                                               ProgressConsole& console, OutcomeReport* report);

}  // namespace tevra
