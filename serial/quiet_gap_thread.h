#pragma once

#include <chrono>
#include <cstdint>

namespace tevra {

class SerialPort;

// Silence on the line that ends a burst.
inline constexpr std::chrono::milliseconds kQuietGap{100};
// The gap is never shorter than this many character times, so the pause
// between two characters of one answer never ends a burst: at 110 baud one
// character takes 100 ms on the line.
inline constexpr double kMinGapCharacters = 2.5;

// kMinGapCharacters character times of `bitsPerCharacter` (start, data,
// parity and stop bits) at baudRate (above 0), rounded up to whole ms: the
// shortest gap the line allows.
std::chrono::milliseconds MinQuietGap(std::uint32_t baudRate, unsigned bitsPerCharacter);

// The quiet gap for such a line: kQuietGap, or MinQuietGap where that is
// longer (below 300 baud at 11 bits).
std::chrono::milliseconds QuietGapFor(std::uint32_t baudRate, unsigned bitsPerCharacter);

// Turns a burst of evRxChar signals into one evDataReady once the line has
// been quiet for the port's quiet gap. Ends on evStopGap, then signals evStopReader
// and, last, evGapDone.
void QuietGapThread(SerialPort& port);

}  // namespace tevra
