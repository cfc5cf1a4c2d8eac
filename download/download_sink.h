#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tevra {

// What the download sequencer asks of whoever runs it: a window, or a
// program without one. Every call comes from the sequencer's own thread,
// from inside one of its event calls.
class DownloadSink {
 public:
  DownloadSink() = default;
  DownloadSink(const DownloadSink&) = delete;
  DownloadSink& operator=(const DownloadSink&) = delete;
  virtual ~DownloadSink() = default;

  // Queues len bytes for the device, in one piece (5 for a command, at most
  // a block). Called only while the port is open.
  virtual void Send(const std::uint8_t* data, std::uint32_t len) = 0;
  // One of the sequencer's log sentences.
  virtual void Log(std::string_view sentence) = 0;
  // A cause the log cannot name (one line, without a program name).
  virtual void Diagnostic(const std::string& line) = 0;
  // The share of the payload queued so far in percent; 0 at the finish.
  virtual void Progress(int percent) = 0;
  // Starts timer id with the period, restarting it when it runs; its ticks
  // come back through DownloadSequencer::OnTimer(id).
  virtual void SetTimer(int id, std::chrono::milliseconds period) = 0;
  virtual void KillTimer(int id) = 0;
  // The download ended: the device accepted the last block (finished) or it
  // was abandoned; a new one may be started.
  virtual void DownloadEnded(bool finished) = 0;
};

}  // namespace tevra
