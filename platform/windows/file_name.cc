#include "platform/file_name.h"

#include <windows.h>

#include <cerrno>
#include <random>

#include "platform/windows/system_path.h"

namespace tevra {
namespace {

// Room left for the random part in a name of at most 255 UTF-16 units.
constexpr std::size_t kBaseRoom = 200;

HANDLE Handle(const File& file) {
  return reinterpret_cast<HANDLE>(file.native());  // NOLINT(performance-no-int-to-ptr)
}

// A prefix of a UTF-8 name no longer than room bytes, not cut inside a
// character.
std::string Shortened(const std::string& name, std::size_t room) {
  if (name.size() <= room) {
    return name;
  }
  std::size_t end = room;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
    --end;
  }
  return name.substr(0, end);
}

}  // namespace

std::optional<NameKind> KindAt(const std::string& path) {
  const std::wstring wide = win32::SystemPath(path);
  if (wide.empty()) {
    errno = EINVAL;
    return std::nullopt;
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return NameKind::kNone;
    }
    errno = win32::FileErrno(error);
    return std::nullopt;
  }
  constexpr DWORD kNotRegular =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  return (attributes & kNotRegular) != 0 ? NameKind::kOther : NameKind::kRegular;
}

File CreateTemporaryBeside(const std::string& path, std::string* created) {
  const std::size_t separator = path.find_last_of("/\\");
  const std::string directory =
      separator == std::string::npos ? std::string(".") : path.substr(0, separator);
  const std::string base = separator == std::string::npos ? path : path.substr(separator + 1);
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = directory + "\\." + Shortened(base, kBaseRoom) + "." +
                             std::to_string(random() % 1000000000U);
    const std::wstring wide = win32::SystemPath(name);
    if (wide.empty()) {
      errno = EINVAL;
      return File();
    }
    File file(reinterpret_cast<std::intptr_t>(
        CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    if (file.valid()) {
      *created = name;
      return file;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) {
      win32::SetFileErrno();
      return file;
    }
  }
  errno = EEXIST;
  return File();
}

bool CopyPermissions(const File& /*from*/, const File& /*to*/) {
  return true;
}

bool FlushToDisk(const File& file) {
  if (!FlushFileBuffers(Handle(file))) {
    win32::SetFileErrno();
    return false;
  }
  return true;
}

bool RenameOver(const std::string& from, const std::string& to) {
  const std::wstring wideFrom = win32::SystemPath(from);
  const std::wstring wideTo = win32::SystemPath(to);
  if (wideFrom.empty() || wideTo.empty()) {
    errno = EINVAL;
    return false;
  }
  if (!MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    win32::SetFileErrno();
    return false;
  }
  return true;
}

bool RemoveFileName(const std::string& path) {
  const std::wstring wide = win32::SystemPath(path);
  if (wide.empty()) {
    errno = EINVAL;
    return false;
  }
  if (!DeleteFileW(wide.c_str())) {
    win32::SetFileErrno();
    return false;
  }
  return true;
}

}  // namespace tevra
