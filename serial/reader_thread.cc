#include "serial/reader_thread.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/wait.h"
#include "serial/buffer_channel.h"
#include "serial/serial_port.h"
#include "serial/worker_pacing.h"

namespace tevra {
namespace {

// Reads and drops `count` bytes that were already waiting, so the next
// burst starts clean instead of behind a stale tail.
void DiscardBacklog(CommDevice& device, std::uint32_t count,
                    std::array<std::uint8_t, kReadChunk>& scratch) {
  while (count != 0) {
    std::uint32_t got = 0;
    const std::uint32_t want = std::min(count, kReadChunk);
    if (!device.ReadFile(scratch.data(), want, got) || got == 0) {
      return;
    }
    count -= std::min(got, count);
  }
}

}  // namespace

void ReaderThread(SerialPort& port) {
  if (AwaitStart(port.evStopReader, port.evStartReader)) {
    port.evStartGap.Set();
    std::array<std::uint8_t, kReadChunk> buffer{};
    for (;;) {
      const WaitResult r = WaitAny({&port.evStopReader, &port.evDataReady}, kInfinite);
      if (r.status == WaitStatus::kFailed) {
        if (PaceRetry(port.evStopReader)) {
          break;
        }
        continue;
      }
      if (r.status != WaitStatus::kSignalled) {
        continue;
      }
      if (r.index == 0) {
        break;
      }
      port.evDataReady.Reset();

      std::uint32_t errors = 0;
      std::uint32_t waiting = 0;
      if (!port.m_hComm.ClearCommError(&errors, &waiting)) {
        continue;
      }
      const std::uint32_t want = std::min(waiting, kReadChunk);
      std::uint32_t got = 0;
      if (want != 0 && !port.m_hComm.ReadFile(buffer.data(), want, got)) {
        continue;
      }
      if (got != want) {
        continue;  // someone else took bytes meanwhile: the chunk is not whole
      }
      const std::uint32_t stored = std::min(got, SerialBuffer::kMaxLength);
      RecordOrigin origin;
      origin.sendsBefore = port.m_readySends.exchange(SerialPort::kNoBurst);
      // More than a record holds, or an overflowing queue: the silence did
      // not end this burst's bytes, the size did.
      const bool overflowed = port.m_inputOverflowed.exchange(false);
      origin.whole = waiting == stored && (errors & CE_RXOVER) == 0 && !overflowed;
      if (origin.sendsBefore == SerialPort::kNoBurst) {
        origin.sendsBefore = 0;  // no burst announced these bytes: date them early
        origin.whole = false;
      }
      if (port.m_rx.Put(buffer.data(), stored, origin)) {
        port.Notify(SerialNotice::kReceived, 0);
      }
      DiscardBacklog(port.m_hComm, waiting - want, buffer);
    }
  }
  port.evReaderDone.Set();
}

}  // namespace tevra
