#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "download/download_sink.h"
#include "download/payload_source.h"

namespace tevra {

// The download as a state machine: erase the device (repeating the command
// until it is acknowledged), then for each block send the header, wait for
// its acknowledgement, send the block, wait for its acceptance. Events come
// in through the calls below; everything it does goes out through the sink.
// Not thread-safe: one thread makes every call.
//
// Each received record is checked for the one answer the sequencer waits
// for, at that answer's offset; anything else in it is ignored, so payload
// bytes the device echoes can never pass for an answer.
class DownloadSequencer {
 public:
  static constexpr int TIMER_PROGRESS = 1;
  static constexpr int TIMER_ERASE_RETRY = 2;
  static constexpr std::chrono::milliseconds kProgressPeriod{1000};
  static constexpr std::chrono::milliseconds kEraseRetryPeriod{4000};

  static constexpr char kLogNoOpenCom[] = "No Open Com!";
  static constexpr char kLogOpenFileFailure[] = "open File failure!";
  static constexpr char kLogDownloadFinish[] = "File download finish!";

  // The answer the sequencer waits for.
  enum class Awaiting {
    kNothing,
    kEraseAck,
    kHeaderAck,
    kBlockAck,
    kLastBlockAck,  // everything is sent; the device's acceptance finishes it
  };

  explicit DownloadSequencer(DownloadSink& sink) : sink_(sink) {}

  // The port opened, or closed without abandoning the download ("Com
  // settings"): the download, its file and timers stay; sending waits.
  void OnPortOpened() { portOpen_ = true; }
  void OnPortClosed() { portOpen_ = false; }

  // Starts sending `length` bytes of source: the erase command, then both
  // timers. False, logging "open File failure!", when the payload is empty
  // or too large for the 32-bit counters.
  bool StartDownload(std::unique_ptr<PayloadSource> source, std::uint64_t length);
  // "Com Close": drops the download, its file and the erase retry.
  void AbandonDownload();
  // One received record, its bytes and the terminating zero included.
  void OnRecord(const std::uint8_t* data, std::size_t size);
  void OnTimer(int id);

  void SendEraseCommand();
  void SendBlockHeader();
  void SendNextBlock();

  bool portOpen() const { return portOpen_; }
  bool downloading() const { return downloading_; }
  bool erased() const { return erased_; }
  Awaiting awaiting() const { return awaiting_; }
  std::uint32_t totalBytes() const { return totalBytes_; }
  std::uint32_t remainingBytes() const { return remainingBytes_; }

  // The share of a payload of `total` bytes queued once `remaining` are
  // left, in percent (integer division); 0 for an empty payload.
  static int ProgressPercent(std::uint32_t total, std::uint32_t remaining);

 private:
  void FinishDownload();
  void StopOnReadError();

  DownloadSink& sink_;
  bool portOpen_ = false;
  bool downloading_ = false;
  bool erased_ = false;
  Awaiting awaiting_ = Awaiting::kNothing;
  std::uint32_t totalBytes_ = 0;
  std::uint32_t remainingBytes_ = 0;
  std::uint32_t blockSize_ = 0;
  std::uint32_t lastReadBytes_ = 0;
  std::unique_ptr<PayloadSource> payload_;
};

}  // namespace tevra
