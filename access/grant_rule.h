#pragma once

namespace tevra {

// The ttys the kernel writes its console to now, space-separated.
inline constexpr char kActiveConsoles[] = "/sys/class/tty/console/active";

// Which nodes --grant-port grants (SerialNode::Open enforces it), in the words
// --help and the README say it; wrapped for --help.
inline constexpr char kGrantRule[] =
    "It grants only a serial port's node directly in /dev, not a link, with a device\n"
    "behind it (ttyUSB*, ttyACM*, a ttyS* with a UART, ...), never a console:\n"
    "/dev/console, /dev/tty, the virtual terminals /dev/tty0, /dev/tty1, ..., or a\n"
    "port the kernel writes its console to (/sys/class/tty/console/active).\n";

}  // namespace tevra
