#pragma once

#include <string>

namespace tevra {

enum class UserDirectoryUse {
  kRun,   // files of one run: the extracted program image and payload
  kKept,  // files that outlive a run (the portable build's carried libraries)
};

// The updater's own directory for this user, created when missing; the
// path without a trailing separator, or an empty string (errno set, and a
// one-line cause in *problem when given) when it cannot be used. It must be
// private to the user: otherwise another user could swap the files in it.
//
// Linux: for kRun $XDG_RUNTIME_DIR/tevra-updater when that variable is set,
// else (and for kKept) ${XDG_CACHE_HOME:-$HOME/.cache}/tevra-updater; every
// directory it creates gets exactly mode 0700, whatever the umask; an
// existing one must be a real directory (not a link to one) of this user
// that nobody else can write to.
//
// Windows: the user's local application data folder (FOLDERID_LocalAppData)
// with Tevra\tevra-updater under it, for both uses: never under the Windows
// folder, and nothing that needs elevation. The folders created there take
// that folder's permissions, which are the user's own; one of them that is a
// link or junction (a reparse point) is refused rather than followed.
std::string UserDirectory(UserDirectoryUse use, std::string* problem = nullptr);

// The running program's own file (/proc/self/exe; GetModuleFileNameW);
// empty on failure.
std::string OwnProgramPath();

}  // namespace tevra
