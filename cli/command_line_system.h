#pragma once

#include <optional>
#include <string>
#include <string_view>

// What the command line has of the system it runs on: how ports are named,
// the options only one system offers, and the parts of --help that differ.
// One backend per system (linux/, windows/); the rest of the command line is
// the same on both.
namespace tevra::command_line_system {

// A --port (or --grant-access) value as a port name this system opens,
// normalized; throws UsageError naming `option`.
std::string ParsePort(std::string_view text, std::string_view option);

// Why `option` ("--watch") cannot be used here, in one line; none when it can.
std::optional<std::string> Unavailable(std::string_view option);

// --help's parts that differ: the synopsis and what the arguments are; the
// --port option; what follows the download's options (the station, the
// grant; or how the console behaves); the --licenses option; the exit
// statuses to the end.
std::string UsageHead();
std::string UsagePort();
std::string UsageMiddle();
std::string UsageLicenses();
std::string UsageTail();

}  // namespace tevra::command_line_system
