#include "platform/windows/system_path.h"

#include <windows.h>

#include <cerrno>
#include <climits>

#include "platform/windows/system_error.h"

namespace tevra::win32 {
namespace {

// CreateDirectoryW's limit: MAX_PATH less room for an 8.3 file name.
constexpr std::size_t kClassicLimit = MAX_PATH - 12;

}  // namespace

std::wstring SystemPath(std::string_view utf8) {
  std::wstring wide = Widen(utf8);
  if (wide.size() < kClassicLimit || wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) {
    return wide;
  }
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) {
    return wide;
  }
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) {
    return wide;
  }
  full.resize(n);
  if (full.starts_with(L"\\\\")) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty() || wide.size() > INT_MAX) {
    return {};
  }
  const int size = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size, nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) {
    return {};
  }
  std::string utf8(static_cast<std::size_t>(n), '\0');
  (void)WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size, utf8.data(), n,
                            nullptr, nullptr);
  return utf8;
}

int FileErrno(unsigned long error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_NO_UNICODE_TRANSLATION:
      return EINVAL;
    case ERROR_CANT_RESOLVE_FILENAME:
    case ERROR_CANT_ACCESS_FILE:
      return ELOOP;
    default:
      return ErrnoFor(error);
  }
}

void SetFileErrno() {
  errno = FileErrno(GetLastError());
}

}  // namespace tevra::win32
