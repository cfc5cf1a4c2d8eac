#pragma once

#include <optional>
#include <string>

#include "platform/file.h"

namespace tevra {

// What a path names, a link not followed.
enum class NameKind {
  kNone,     // nothing (ENOENT, or a folder on the way is missing)
  kRegular,  // a regular file
  kOther,    // a folder, a link or other reparse point, a FIFO, a device
};

// Nothing (errno set) when the system cannot tell.
std::optional<NameKind> KindAt(const std::string& path);

// A new, empty regular file beside path (in its folder, under a hidden
// name made from path's and a random part that fits the file system),
// open to read and write and readable by its owner only; its name in
// *created. Invalid (errno set) on failure.
File CreateTemporaryBeside(const std::string& path, std::string* created);

// Permission bits only, and only where the system has them: set-id bits
// are not copied; on Windows files take their folder's permissions and
// this does nothing.
bool CopyPermissions(const File& from, const File& to);

// Waits until what was written to file is on the disk.
bool FlushToDisk(const File& file);

// Gives the file at from the name to, replacing a file there in one step,
// so that a reader sees either the old file or the new one.
bool RenameOver(const std::string& from, const std::string& to);

// Removes the name of a file (not a folder).
bool RemoveFileName(const std::string& path);

}  // namespace tevra
