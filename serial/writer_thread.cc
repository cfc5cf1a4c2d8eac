#include "serial/writer_thread.h"

#include <cstdint>
#include <cstring>

#include "platform/diagnostics.h"
#include "platform/wait.h"
#include "serial/buffer_channel.h"
#include "serial/serial_port.h"
#include "serial/worker_pacing.h"

namespace tevra {

void WriterThread(SerialPort& port) {
  bool stop = false;
  while (!stop) {
    const WaitResult r = WaitAny({&port.evStopWriter, &port.evTxQueued}, kInfinite);
    if (r.status == WaitStatus::kFailed) {
      stop = PaceRetry(port.evStopWriter);
      continue;
    }
    if (r.status != WaitStatus::kSignalled) {
      continue;
    }
    if (r.index == 0) {
      break;
    }
    // Before draining, so a record queued during the drain wakes us again.
    port.evTxQueued.Reset();
    while (SerialBuffer* record = port.m_tx.RemoveHead()) {
      switch (port.m_hComm.WriteFile(port.evStopWriter, record->data, record->length)) {
        case WriteStatus::kCompleted:
          break;
        case WriteStatus::kCompletedPending:
          // The address identifies the write only; the record is reused.
          port.Notify(SerialNotice::kWriteCompleted, reinterpret_cast<std::intptr_t>(record->data));
          break;
        case WriteStatus::kAbandoned:
          stop = true;
          break;
        case WriteStatus::kFailed: {
          const int error = errno;
          // A hang-up has a notification of its own.
          if (!port.m_hComm.IsGone()) {
            Diagnose(port.m_hComm.Label() + ": a write failed: " +
                     std::strerror(error));  // NOLINT(concurrency-mt-unsafe): messages only
            port.Notify(SerialNotice::kWriteFailed, error);
          } else if (port.m_hComm.TakeGoneNotice()) {
            Diagnose(port.m_hComm.Label() + ": the device hung up or was unplugged");
          }
          std::uint32_t errors = 0;
          static_cast<void>(port.m_hComm.ClearCommError(&errors, nullptr));
          break;
        }
      }
      // The write has finished or been given up: the buffer is free again.
      port.m_tx.Return(record);
      if (stop) {
        break;
      }
    }
  }
  port.evWriterDone.Set();
}

}  // namespace tevra
