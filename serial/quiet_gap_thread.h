#pragma once

#include <chrono>

namespace tevra {

class SerialPort;

// Silence on the line that ends a burst.
inline constexpr std::chrono::milliseconds kQuietGap{100};

// Turns a burst of evRxChar signals into one evDataReady once the line has
// been quiet for kQuietGap. Ends on evStopGap, then signals evStopReader
// and, last, evGapDone.
void QuietGapThread(SerialPort& port);

}  // namespace tevra
