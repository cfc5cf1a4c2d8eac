#pragma once

#include <array>
#include <cstdint>

namespace tevra {

// Parity and stop bits by their device-control-block codes, the values the
// serial port and the comm device pass between them.
enum class Parity : std::uint8_t { kNone = 0, kOdd = 1, kEven = 2, kMark = 3, kSpace = 4 };
// POSIX has no one and a half stop bits: they run as two.
enum class StopBits : std::uint8_t { kOne = 0, kOneAndAHalf = 1, kTwo = 2 };

// The line as the kernel's termios2 holds it, in a plain struct so that
// callers need neither <termios.h> nor <asm/termbits.h> (the two clash).
// The helpers below each change one aspect and touch nothing else; they are
// pure, so the exact flag bits can be checked without a device (a
// pseudo-terminal would drop parity and data bits anyway).
struct LineSettings {
  static constexpr std::size_t kControlChars = 19;

  std::uint32_t iflag = 0;
  std::uint32_t oflag = 0;
  std::uint32_t cflag = 0;
  std::uint32_t lflag = 0;
  std::uint8_t line = 0;
  std::array<std::uint8_t, kControlChars> cc{};
  std::uint32_t ispeed = 0;
  std::uint32_t ospeed = 0;
};

// Raw, transparent 8-bit line: no input or output translation, no parity
// checking or marking, no software or hardware flow control, no echo, no
// signals; receiver on, modem lines ignored; CS8 without parity; a read
// returns as soon as one byte is there (VMIN 1, VTIME 0).
void MakeRaw(LineSettings& s);

// 5..8 data bits; anything else leaves s unchanged and returns false.
bool SetDataBits(LineSettings& s, std::uint8_t bits);

// Odd sets PARODD, mark and space add CMSPAR. Unknown codes leave s
// unchanged and return false.
bool SetParity(LineSettings& s, Parity parity);

// kOne clears CSTOPB; kOneAndAHalf and kTwo set it. Unknown codes leave s
// unchanged and return false.
bool SetStopBits(LineSettings& s, StopBits stopBits);

// Any rate in bits per second, both directions, as BOTHER with the exact
// figure: no table of Bnnn constants limits it. 0 is refused (false): it
// would hang the line up.
bool SetRate(LineSettings& s, std::uint32_t rate);

// The reverse of the setters, for reporting the line as it is.
std::uint32_t RateOf(const LineSettings& s);
std::uint8_t DataBitsOf(const LineSettings& s);
Parity ParityOf(const LineSettings& s);
StopBits StopBitsOf(const LineSettings& s);

// True when every translating or flow-control flag MakeRaw clears is clear
// and the settings MakeRaw sets are set (data bits and parity aside).
bool IsRaw(const LineSettings& s);

// The line of an open terminal descriptor (TCGETS2 / TCSETS2, applied at
// once). False with errno set on failure (ENOTTY for a non-terminal).
bool ReadLineSettings(int fd, LineSettings& s);
bool WriteLineSettings(int fd, const LineSettings& s);

}  // namespace tevra
