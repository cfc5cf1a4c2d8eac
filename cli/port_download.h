#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cli/exit_status.h"
#include "cli/progress_console.h"
#include "download/download_sequencer.h"
#include "download/download_sink.h"
#include "platform/unique_fd.h"
#include "serial/buffer_channel.h"
#include "serial/notify_target.h"
#include "serial/serial_port.h"

namespace tevra {

// One port of a headless download: its own serial port and record queues,
// its own sequencer and timers, and what it shows on the console. Driven by
// one event loop thread (every call but Post and Close); the port's workers
// only Post, which signals notifyFd(). Once it has ended it ignores its
// port until Close.
//
// It succeeds only when the device has acknowledged the last block. It
// fails when the port does not open, when the device gives no expected
// answer for `silence`, when the line hangs up or a write fails.
class PortDownload final : public DownloadSink, public NotifyTarget {
 public:
  using Clock = std::chrono::steady_clock;

  PortDownload(std::string port, ProgressConsole& console, std::chrono::seconds silence);
  PortDownload(const PortDownload&) = delete;
  PortDownload& operator=(const PortDownload&) = delete;
  ~PortDownload() override;

  // Opens the port at baud, 8E1. False when it did not open; the port has
  // then ended.
  bool Open(std::uint32_t baud);
  // Starts the download of length bytes from source.
  void Start(std::unique_ptr<PayloadSource> source, std::uint32_t length);
  // Ends the port with a failure that is not its own (no payload, ...).
  void Fail(ExitStatus status, const std::string& cause);
  // A stop signal: the port says where it stood.
  void Interrupt();
  // Closes the port once it has ended. Closing takes a moment (the workers
  // stop, the line settles), so the ports close together at the end, each
  // on a thread of its own, rather than one by one while others still run;
  // nothing else may touch this object meanwhile.
  void Close();

  // Readable when the workers have posted; OnNotified takes it.
  int notifyFd() const { return notify_.get(); }
  void OnNotified();
  // Runs the timers that are due and checks the device's silence.
  void OnTick(Clock::time_point now);
  // The earliest moment OnTick has work; none once ended.
  std::optional<Clock::time_point> NextDeadline() const;

  bool ended() const { return ended_; }
  ExitStatus status() const { return status_; }

  // DownloadSink
  void Send(const std::uint8_t* data, std::uint32_t len) override;
  void Log(std::string_view sentence) override;
  void Diagnostic(const std::string& line) override;
  void Progress(int percent) override;
  void SetTimer(int id, std::chrono::milliseconds period) override;
  void KillTimer(int id) override;
  void DownloadEnded(bool finished) override;
  void LastBlockAcknowledged() override;

  // NotifyTarget: called by the port's workers.
  bool Post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;

 private:
  struct Timer {
    std::chrono::milliseconds period{0};
    std::optional<Clock::time_point> due;
  };

  // Runs fn on the sequencer and looks at what changed.
  template <typename Fn>
  void Drive(Fn fn);
  void End(ExitStatus status, const std::string& text);
  std::string Where() const;
  Timer& TimerFor(int id);

  std::string port_;
  ProgressConsole& console_;
  std::size_t row_;
  std::chrono::seconds silence_;

  BufferChannel rx_;
  BufferChannel tx_;
  SerialPort serial_;
  DownloadSequencer sequencer_;
  UniqueFd notify_;
  std::atomic<bool> lineGone_{false};
  std::atomic<int> writeError_{0};

  std::array<Timer, 2> timers_{};
  bool started_ = false;
  bool ended_ = false;
  bool acknowledged_ = false;
  ExitStatus status_ = ExitStatus::kSuccess;
  std::uint32_t acknowledgedBytes_ = 0;
  std::string lastDiagnostic_;
  Clock::time_point startedAt_{};
  Clock::time_point erasedAt_{};
  Clock::time_point lastAnswer_{};
  std::optional<Clock::time_point> goneAt_;
};

}  // namespace tevra
