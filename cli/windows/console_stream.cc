#include "cli/console_stream.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/windows/system_error.h"

namespace tevra {
namespace {

// Larger writes to a console are refused on some systems.
constexpr std::size_t kConsoleChunk = 8192;

HANDLE HandleOf(int fd) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime keeps handles as numbers
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

ConsoleStream::ConsoleStream(int fd) {
  const HANDLE given = HandleOf(fd);
  HANDLE own = nullptr;
  if (given != INVALID_HANDLE_VALUE && given != nullptr &&
      DuplicateHandle(GetCurrentProcess(), given, GetCurrentProcess(), &own, 0, FALSE,
                      DUPLICATE_SAME_ACCESS) != 0) {
    handle_ = own;
  }
  console_ = IsConsole(handle_);
  broken_ = handle_ == nullptr;
}

ConsoleStream::~ConsoleStream() {
  if (handle_ != nullptr) {
    (void)CloseHandle(handle_);
  }
}

bool ConsoleStream::Write(std::string_view text) {
  if (broken_) {
    errno = EPIPE;
    return false;
  }
  const std::wstring wide = console_ ? win32::Widen(text) : std::wstring();
  if (console_ && !wide.empty()) {
    for (std::size_t done = 0; done < wide.size();) {
      DWORD n = 0;
      const auto count = static_cast<DWORD>(std::min(wide.size() - done, kConsoleChunk));
      if (WriteConsoleW(handle_, wide.data() + done, count, &n, nullptr) == 0 || n == 0) {
        (void)win32::SetErrnoFromLastError();
        broken_ = true;
        return false;
      }
      done += n;
    }
    return true;
  }
  for (std::size_t done = 0; done < text.size();) {
    DWORD n = 0;
    const auto count = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1U << 30));
    if (WriteFile(handle_, text.data() + done, count, &n, nullptr) == 0 || n == 0) {
      (void)win32::SetErrnoFromLastError();
      broken_ = true;  // the reader is gone (a closed pipe), or the disk is full
      return false;
    }
    done += n;
  }
  return true;
}

bool ConsoleStream::IsLiveTerminal(int fd) {
  const HANDLE handle = HandleOf(fd);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode) == 0) {
    return false;
  }
  // Windows 10 and later draw the rows from the same sequences a Linux
  // terminal does; older consoles refuse the mode and get plain lines.
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::optional<ConsoleStream::Size> ConsoleStream::TerminalSize(int fd) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(HandleOf(fd), &info) == 0) {
    return std::nullopt;
  }
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  if (columns <= 0) {
    return std::nullopt;
  }
  return Size{static_cast<std::size_t>(columns), static_cast<std::size_t>(std::max(rows, 0))};
}

AllSignalsBlocked::AllSignalsBlocked() = default;
AllSignalsBlocked::~AllSignalsBlocked() = default;

}  // namespace tevra
