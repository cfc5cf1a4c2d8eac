#pragma once

#include <string>

namespace tevra {

inline constexpr char kImageFileName[] = "serial1.exe";
inline constexpr char kPayloadFileName[] = "serial1.bin";

// The per-user directory that receives the extracted files:
// $XDG_RUNTIME_DIR/tevra-updater/ when that variable is set, else
// ${XDG_CACHE_HOME:-$HOME/.cache}/tevra-updater/. Created with mode 0700
// when missing (every directory it creates gets exactly 0700, whatever the
// umask). An existing one must be a real directory of this user that nobody
// else can write to: otherwise another user could swap the extracted files.
// Returns the path without a trailing slash, or an empty string (errno set,
// and a one-line cause in *problem when given) when it cannot be used.
std::string PayloadDirectory(std::string* problem = nullptr);

// ${XDG_CACHE_HOME:-$HOME/.cache}/tevra-updater/, under the same rules: for
// files that outlive a run (the portable build's carried libraries).
std::string CacheDirectory(std::string* problem = nullptr);

// The running program's own file, from /proc/self/exe; empty on failure.
std::string SelfExecutablePath();

}  // namespace tevra
