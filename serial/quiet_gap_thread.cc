#include "serial/quiet_gap_thread.h"

#include <algorithm>

#include "platform/wait.h"
#include "serial/serial_port.h"
#include "serial/worker_pacing.h"

namespace tevra {

std::chrono::milliseconds MinQuietGap(std::uint32_t baudRate, unsigned bitsPerCharacter) {
  const double seconds = kMinGapCharacters * bitsPerCharacter / baudRate;
  return std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
}

std::chrono::milliseconds QuietGapFor(std::uint32_t baudRate, unsigned bitsPerCharacter) {
  if (baudRate == 0) {
    return kQuietGap;
  }
  return std::max(kQuietGap, MinQuietGap(baudRate, bitsPerCharacter));
}

void QuietGapThread(SerialPort& port) {
  if (AwaitStart(port.evStopGap, port.evStartGap)) {
    port.evStartComm.Set();
    bool quietWait = false;  // false: idle, no burst in progress
    for (;;) {
      const WaitResult r = WaitAny({&port.evStopGap, &port.evRxChar},
                                   quietWait ? Timeout{port.m_quietGap} : kInfinite);
      if (r.status == WaitStatus::kSignalled) {
        if (r.index == 0) {
          break;
        }
        port.evRxChar.Reset();
        quietWait = true;
      } else if (r.status == WaitStatus::kTimedOut) {
        // Only when the reader took the last one: an unread burst is older.
        std::uint64_t none = SerialPort::kNoBurst;
        port.m_readySends.compare_exchange_strong(none, port.m_burstSends.load());
        // Bytes arriving from now on begin the next burst.
        port.m_burstOpen.store(false);
        port.evDataReady.Set();
        quietWait = false;
      } else {
        // Drop the character signal but never the stop request: losing
        // that would leave Close waiting for ever.
        port.evRxChar.Reset();
        if (PaceRetry(port.evStopGap)) {
          break;
        }
      }
    }
  }
  port.evStopReader.Set();
  port.evGapDone.Set();
}

}  // namespace tevra
