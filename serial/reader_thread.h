#pragma once

#include <cstdint>

namespace tevra {

class SerialPort;

// Bytes read per burst; a larger backlog is discarded past this point.
inline constexpr std::uint32_t kReadChunk = 2048;

// On each evDataReady reads what the device holds as one chunk, stores its
// first 1023 bytes as one record in the port's receive channel and posts
// wParam 0. Ends on evStopReader, then signals evReaderDone.
void ReaderThread(SerialPort& port);

}  // namespace tevra
