#pragma once

#include <string>

namespace tevra {

inline constexpr char kImageFileName[] = "serial1.exe";
inline constexpr char kPayloadFileName[] = "serial1.bin";

// The per-user directory that receives the extracted files:
// $XDG_RUNTIME_DIR/tevra-updater/ when that variable is set, else
// ${XDG_CACHE_HOME:-$HOME/.cache}/tevra-updater/. Created with mode 0700
// when missing. Returns the path without a trailing slash, or an empty
// string (errno set) when it cannot be made.
std::string PayloadDirectory();

// The running program's own file, from /proc/self/exe; empty on failure.
std::string SelfExecutablePath();

}  // namespace tevra
