#pragma once

namespace tevra {

class SerialPort;

// Waits for line events: a received character signals evRxChar, a line
// error clears the device's error state. Purges the input once at start.
// Ends on evStopComm, then signals evStopGap and, last, evCommDone.
void CommEventThread(SerialPort& port);

}  // namespace tevra
