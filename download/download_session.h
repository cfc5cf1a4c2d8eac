#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "download/download_sequencer.h"
#include "download/download_sink.h"
#include "download/payload_source.h"
#include "serial/buffer_channel.h"
#include "serial/notify_target.h"
#include "serial/serial_port.h"

namespace tevra {

// One download over one serial port, as the window and the headless runner
// both run it: the port with its channels, the sequencer and the payload
// reader, and the rules both follow, decided here once:
// - success is the device's acceptance of the last block;
// - an answer counts only in a record that began after its command was
//   queued and that the line's silence ended (nothing cut at a record's
//   size), so a device that streams without a pause is never answered;
// - a hang-up (after a short grace for the answer still being framed), a
//   failed write or an unreadable payload ends the download with its cause;
// - with a silence limit: the download fails when no byte has arrived for
//   that long (counted from when the device could first answer), or when the
//   awaited answer is later than the limit plus the line time of the command
//   and its answer at the port's rate. Without one (the window) a silent
//   device is waited for.
// Every call but Post comes from the owner's thread.
class DownloadSession final : public NotifyTarget, private DownloadSink {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int TIMER_PROGRESS = DownloadSequencer::TIMER_PROGRESS;
  static constexpr int TIMER_ERASE_RETRY = DownloadSequencer::TIMER_ERASE_RETRY;
  // The session's own deadlines (silence, the hang-up grace); one-shot.
  static constexpr int TIMER_WATCH = 3;

  enum class Outcome {
    kDone,        // the device accepted the last block
    kAbandoned,   // "Com Close"
    kUnreadable,  // the payload could not be read
    kLineGone,    // the device hung up
    kWriteFailed,
    kSilent,  // no answer within the silence limit
  };

  // What a front end does for the session, on its own thread unless said.
  class Frontend {
   public:
    Frontend() = default;
    Frontend(const Frontend&) = delete;
    Frontend& operator=(const Frontend&) = delete;
    virtual ~Frontend() = default;

    // Any thread, never blocking: the port's workers have news; the owner
    // then calls OnNotified (for a wParam of kWriteCompleted it need not).
    virtual void Wake(std::uintptr_t wParam, std::intptr_t lParam) = 0;
    virtual void Log(std::string_view sentence) = 0;
    virtual void Diagnostic(const std::string& line) = 0;
    virtual void Progress(int percent) = 0;
    // Starts or restarts timer id; its ticks come back through OnTimer(id).
    virtual void SetTimer(int id, std::chrono::milliseconds period) = 0;
    virtual void KillTimer(int id) = 0;
    // The download ended; cause says why for a failure.
    virtual void Ended(Outcome outcome, const std::string& cause) = 0;
    // The device answered or the download moved on.
    virtual void Advanced() {}
  };

  // With the process-wide channels (the window's port).
  DownloadSession(Frontend& frontend, std::optional<std::chrono::seconds> silence);
  // With channels of its own, for one of many ports in a process.
  DownloadSession(Frontend& frontend, std::optional<std::chrono::seconds> silence,
                  bool ownChannels);
  DownloadSession(const DownloadSession&) = delete;
  DownloadSession& operator=(const DownloadSession&) = delete;
  // Closes the port: its workers post to this object.
  ~DownloadSession() override;

  // Opens the device at path (resolved by the caller), 8 data bits, even
  // parity, one stop bit; lines about it name it `label` ("COM3
  // (/dev/ttyUSB0)"). False, errno set, when it did not open.
  bool OpenPort(const std::string& path, std::uint32_t baud, const std::string& label = {});
  // The same for "COM<n>", resolved once here.
  bool OpenPort(std::uint8_t portNumber, std::uint32_t baud);
  // Closes the port; a running download stays ("Com settings").
  void ClosePort();
  // The silence that ends an answer from the next OpenPort on (unset: 100 ms,
  // longer below 300 baud); never below MinQuietGap(baud).
  void SetQuietGap(std::optional<std::chrono::milliseconds> gap) { port_.SetQuietGap(gap); }
  // Two and a half characters' time on the session's line at baud.
  static std::chrono::milliseconds MinQuietGap(std::uint32_t baud);

  // False, nothing sent, for an empty or unusable payload ("open File
  // failure!" logged, the cause in lastDiagnostic()).
  bool StartDownload(std::unique_ptr<PayloadSource> source, std::uint64_t length);
  // "Com Close": drops the download (Ended(kAbandoned) when one ran).
  void AbandonDownload();
  // Takes what the workers posted: every received record, a hang-up, a
  // failed write.
  void OnNotified();
  void OnTimer(int id);

  // NotifyTarget, for the port's workers.
  bool Post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;

  bool portOpen() const { return sequencer_.portOpen(); }
  // Why the last OpenPort of path failed, which left errno `error`, in the
  // words of one line for a person ("busy: another program holds it
  // (flock)", "permission denied: ..."): the device's own when it failed
  // there, else error's.
  std::string OpenFailureCause(int error, const std::string& path) const;
  const DownloadSequencer& sequencer() const { return sequencer_; }
  // Payload bytes the device has accepted.
  std::uint32_t acknowledgedBytes() const { return acknowledgedBytes_; }
  const std::string& lastDiagnostic() const { return lastDiagnostic_; }
  // Where the download stands, for a person: "while erasing", "at block 3 of 128".
  std::string Where() const;

 private:
  // Runs one sequencer call and notes what changed.
  template <typename Fn>
  void Drive(Fn fn);
  void End(Outcome outcome, const std::string& cause);
  bool Opened(bool opened, std::uint32_t baud);
  void ForgetLine();
  void ArmWatch();
  Clock::time_point SilenceDeadline() const;
  Clock::duration HangupGrace() const;
  std::optional<Clock::time_point> WatchDeadline(Clock::time_point now) const;
  Clock::duration LineTime(std::uint64_t bytes) const;

  // DownloadSink
  void Send(const std::uint8_t* data, std::uint32_t len) override;
  void Log(std::string_view sentence) override;
  void Diagnostic(const std::string& line) override;
  void Progress(int percent) override;
  void SetTimer(int id, std::chrono::milliseconds period) override;
  void KillTimer(int id) override;
  void DownloadEnded(bool finished) override;

  Frontend& frontend_;
  std::optional<std::chrono::seconds> silence_;
  std::unique_ptr<BufferChannel> ownRx_;
  std::unique_ptr<BufferChannel> ownTx_;
  SerialPort port_;
  DownloadSequencer sequencer_;
  std::uint32_t baud_ = 0;

  std::atomic<bool> lineGone_{false};
  std::atomic<int> writeError_{0};
  std::optional<Clock::time_point> goneAt_;

  // The answer awaited: since when, and the first send it may answer.
  Clock::time_point awaitSince_{};
  std::uint64_t awaitSends_ = 0;
  std::uint32_t awaitSentBytes_ = 0;
  std::uint64_t lastSendCount_ = 0;
  std::uint32_t lastSendBytes_ = 0;

  std::uint32_t acknowledgedBytes_ = 0;
  Outcome ending_ = Outcome::kAbandoned;
  std::string endCause_;
  std::string lastDiagnostic_;
};

}  // namespace tevra
