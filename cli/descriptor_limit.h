#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tevra {

// What one port of a download keeps open: its device, the serial port's 14
// events (one eventfd each, see serial/serial_port.h), the notification the
// loop polls and the payload reader.
inline constexpr std::size_t kDescriptorsPerPort = 17;
// Beside what is open already: the stop signals, the console's writer, the
// payload and the report, what the resolver and the numbering open for a
// moment.
inline constexpr std::size_t kDescriptorMargin = 16;

// Linux counts descriptors; Windows has no such limit, but the loop waits
// on at most 63 ports' notifications beside the stop request
// (WaitForMultipleObjects' 64 handles).
//
// Raises the soft limit on open descriptors (RLIMIT_NOFILE) to the hard
// limit. False (errno set) when the limits could not be read or set; the
// check below still says whether that matters.
bool RaiseDescriptorLimit();

// None when `ports` ports fit under the soft limit beside the descriptors
// open now; otherwise one line for a person naming the numbers. Call it
// before any port opens.
std::optional<std::string> DescriptorShortfall(std::size_t ports);

}  // namespace tevra
