#pragma once

namespace tevra {

class SerialPort;

// On each evTxQueued writes every record pending in the port's transmit
// channel to the device; a write that had to wait for room posts wParam 1
// once it completes. Ends on evStopWriter (abandoning a write in progress),
// then signals evWriterDone.
void WriterThread(SerialPort& port);

}  // namespace tevra
