#include "serial/comm_event_thread.h"

#include <chrono>
#include <cstdint>

#include "platform/comm_device.h"
#include "platform/diagnostics.h"
#include "serial/serial_port.h"
#include "serial/worker_pacing.h"

namespace tevra {

void CommEventThread(SerialPort& port) {
  if (AwaitStart(port.evStopComm, port.evStartComm)) {
    port.PurgeInput();
    port.HandshakeDone();
    for (;;) {
      std::uint32_t mask = 0;
      const CommWaitStatus status = port.m_hComm.WaitCommEvent(port.evStopComm, mask);
      if (status == CommWaitStatus::kStopped) {
        break;
      }
      if (status == CommWaitStatus::kFailed) {
        // A line that hung up fails every wait from now on.
        if (PaceRetry(port.evStopComm)) {
          break;
        }
        continue;
      }
      if ((mask & EV_ERR) != 0) {
        std::uint32_t errors = 0;
        // Only clears the error state; a failure leaves nothing to recover.
        static_cast<void>(port.m_hComm.ClearCommError(&errors, nullptr));
        if ((errors & CE_RXOVER) != 0) {
          port.m_inputOverflowed.store(true);  // the reader must not trust its next record
        }
        // EV_ERR comes once for a hang-up; every later wait fails.
        if (port.m_hComm.IsGone()) {
          if (port.m_hComm.TakeGoneNotice()) {
            Diagnose(port.m_hComm.Label() + ": the device hung up or was unplugged");
          }
          port.Notify(SerialNotice::kLineGone, 0);
        }
      } else if ((mask & EV_RXCHAR) != 0) {
        if (!port.m_burstOpen.exchange(true)) {
          port.m_burstSends.store(port.m_sendCount.load());
        }
        port.m_lastReceived.store(std::chrono::steady_clock::now().time_since_epoch().count());
        port.evRxChar.Set();
      }
    }
  }
  port.evStopGap.Set();
  port.evCommDone.Set();
}

}  // namespace tevra
