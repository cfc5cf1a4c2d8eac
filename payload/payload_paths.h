#pragma once

#include <string>

namespace tevra {

inline constexpr char kImageFileName[] = "serial1.exe";
inline constexpr char kPayloadFileName[] = "serial1.bin";

// The per-user directory that receives the extracted files, created when
// missing and private to the user (UserDirectory's kRun: on Linux the
// runtime directory's tevra-updater, on Windows the local application data
// folder's Tevra\tevra-updater). Without a trailing separator; empty
// (errno set, and a one-line cause in *problem when given) when it cannot
// be used.
std::string PayloadDirectory(std::string* problem = nullptr);

// The same for files that outlive a run (UserDirectory's kKept).
std::string CacheDirectory(std::string* problem = nullptr);

// The running program's own file; empty on failure.
std::string SelfExecutablePath();

}  // namespace tevra
