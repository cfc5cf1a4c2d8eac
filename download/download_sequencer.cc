#include "download/download_sequencer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "download/protocol.h"

namespace tevra {
namespace {

template <std::size_t N>
bool Holds(const std::uint8_t* data, std::size_t size, std::size_t offset,
           const std::array<std::uint8_t, N>& answer) {
  return offset + N <= size && std::equal(answer.begin(), answer.end(), data + offset);
}

std::string ErrorText(int error) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread runs the sequencer
  return error != 0 ? std::strerror(error) : "unknown cause";
}

}  // namespace

bool DownloadSequencer::StartDownload(std::unique_ptr<PayloadSource> source, std::uint64_t length) {
  totalBytes_ = 0;
  lastReadBytes_ = 0;
  blockSize_ = protocol::BLOCK_SIZE;
  // An empty payload would erase the device and send it nothing; the
  // counters are 32-bit, so a larger one would be cut short.
  if (source == nullptr || length == 0 || length > std::numeric_limits<std::uint32_t>::max()) {
    sink_.Diagnostic(length == 0 ? std::string("the payload is empty: nothing to send")
                                 : "the payload of " + std::to_string(length) +
                                       " bytes is too large to send");
    sink_.Log(kLogOpenFileFailure);
    return false;
  }
  payload_ = std::move(source);
  downloading_ = true;
  totalBytes_ = static_cast<std::uint32_t>(length);
  remainingBytes_ = totalBytes_;
  erased_ = false;
  awaiting_ = Awaiting::kEraseAck;

  SendEraseCommand();

  sink_.SetTimer(TIMER_PROGRESS, kProgressPeriod);
  sink_.SetTimer(TIMER_ERASE_RETRY, kEraseRetryPeriod);
  return true;
}

void DownloadSequencer::SendEraseCommand() {
  if (!portOpen_) {
    sink_.Log(kLogNoOpenCom);
    return;
  }
  sink_.Send(protocol::CMD_ERASE.data(), protocol::CMD_ERASE.size());
}

void DownloadSequencer::SendBlockHeader() {
  if (!portOpen_) {
    sink_.Log(kLogNoOpenCom);
    return;
  }
  if (downloading_) {
    sink_.Send(protocol::CMD_BLOCK_HEADER.data(), protocol::CMD_BLOCK_HEADER.size());
    awaiting_ = Awaiting::kHeaderAck;
  }
}

void DownloadSequencer::SendNextBlock() {
  if (!downloading_) {
    return;
  }
  // An acknowledgement taken after the port closed must not consume the
  // block: the reopened port would discard it, and the last block would be
  // reported finished without ever reaching the device.
  if (!portOpen_) {
    sink_.Log(kLogNoOpenCom);
    return;
  }
  blockSize_ = std::min<std::uint32_t>(blockSize_, remainingBytes_);

  std::array<std::uint8_t, protocol::BLOCK_SIZE> block{};
  errno = 0;
  const long count = payload_->ReadAt(totalBytes_ - remainingBytes_, block.data(), blockSize_);
  if (count < 0) {
    StopOnReadError();
    return;
  }
  lastReadBytes_ = static_cast<std::uint32_t>(count);
  if (lastReadBytes_ < blockSize_) {
    // Someone shortened the file: what is missing cannot be sent, and the
    // device will wait for it.
    sink_.Diagnostic("the payload file " + payload_->Name() + " ended " +
                     std::to_string(remainingBytes_ - lastReadBytes_) + " bytes early");
  }
  sink_.Send(block.data(), lastReadBytes_);
  remainingBytes_ -= lastReadBytes_;
  // The download is finished only when the device has the last block: one
  // that resets or garbles it must not be shown as done.
  awaiting_ = remainingBytes_ == 0 ? Awaiting::kLastBlockAck : Awaiting::kBlockAck;
}

void DownloadSequencer::FinishDownload() {
  payload_.reset();
  downloading_ = false;
  awaiting_ = Awaiting::kNothing;
  sink_.KillTimer(TIMER_PROGRESS);
  sink_.Log(kLogDownloadFinish);
  sink_.Progress(0);
  sink_.DownloadEnded(true);
}

// The log keeps its own sentences only, so the cause goes to the
// diagnostics; Download stays disabled until "Com Close" abandons it.
void DownloadSequencer::StopOnReadError() {
  const int cause = errno;
  sink_.Diagnostic("cannot read the payload file " + payload_->Name() + ": " + ErrorText(cause) +
                   "; the download stops");
  awaiting_ = Awaiting::kNothing;
}

void DownloadSequencer::AbandonDownload() {
  // An erase retry left running would erase whatever device is connected
  // next, with no download to follow.
  sink_.KillTimer(TIMER_ERASE_RETRY);
  awaiting_ = Awaiting::kNothing;
  if (!downloading_) {
    return;
  }
  payload_.reset();
  downloading_ = false;
  sink_.DownloadEnded(false);
}

void DownloadSequencer::OnRecord(const std::uint8_t* data, std::size_t size) {
  // Without the terminating zero: a record cut after the 0x50 of 50 00 would
  // otherwise pass for the acceptance, the zero standing in for its last byte.
  size = size != 0 ? size - 1 : 0;
  switch (awaiting_) {
    case Awaiting::kNothing:
      break;
    case Awaiting::kEraseAck:
      if (Holds(data, size, protocol::kEraseAckOffset, protocol::kEraseAck)) {
        erased_ = true;
        sink_.KillTimer(TIMER_ERASE_RETRY);
        SendBlockHeader();
      }
      break;
    case Awaiting::kHeaderAck:
      if (Holds(data, size, protocol::kHeaderAckOffset, protocol::kHeaderAck)) {
        SendNextBlock();
      }
      break;
    case Awaiting::kBlockAck:
      if (Holds(data, size, protocol::kBlockAckOffset, protocol::kBlockAck)) {
        SendBlockHeader();
      }
      break;
    case Awaiting::kLastBlockAck:
      // The device echoes the final block, however short, before accepting it.
      if (Holds(data, size, lastReadBytes_, protocol::kBlockAck)) {
        FinishDownload();
      }
      break;
  }
}

void DownloadSequencer::OnTimer(int id) {
  if (id == TIMER_PROGRESS) {
    if (totalBytes_ != 0) {
      sink_.Progress(ProgressPercent(totalBytes_, remainingBytes_));
    }
  } else if (id == TIMER_ERASE_RETRY) {
    if (!downloading_) {
      sink_.KillTimer(TIMER_ERASE_RETRY);  // never erase without a download
    } else if (!erased_) {
      SendEraseCommand();
    }
  }
}

// In 64 bits: the products overflow 32 bits for payloads above 42,949,672 bytes.
int DownloadSequencer::ProgressPercent(std::uint32_t total, std::uint32_t remaining) {
  if (total == 0) {
    return 0;
  }
  const std::uint64_t wide = total;
  return static_cast<int>((wide * 100 - std::uint64_t{remaining} * 100) / wide);
}

}  // namespace tevra
