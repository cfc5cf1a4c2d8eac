#include "platform/windows/system_error.h"

#include <windows.h>

#include <cerrno>
#include <climits>
#include <string_view>

#include "platform/windows/system_path.h"

namespace tevra::win32 {

int ErrnoFor(unsigned long error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      // A comm port held by another program refuses a second open this way.
      return EBUSY;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_OPERATION_ABORTED:
      return ECANCELED;
    default:
      return EIO;
  }
}

unsigned long SetErrnoFromLastError() {
  const DWORD error = GetLastError();
  errno = ErrnoFor(error);
  return error;
}

std::string SystemMessage(unsigned long error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string utf8 =
      length > 0 && text != nullptr ? Narrow(std::wstring_view(text, length)) : std::string();
  if (text != nullptr) {
    (void)LocalFree(text);
  }
  // The system ends its messages with a full stop and a line break; a cause
  // is one line.
  while (!utf8.empty() &&
         (utf8.back() == '\n' || utf8.back() == '\r' || utf8.back() == '.' || utf8.back() == ' ')) {
    utf8.pop_back();
  }
  return utf8.empty() ? "error " + std::to_string(error) : utf8;
}

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty() || utf8.size() > INT_MAX) {
    return {};
  }
  const int size = static_cast<int>(utf8.size());
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (n <= 0) {
    return {};
  }
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  (void)MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), n);
  return wide;
}

}  // namespace tevra::win32
