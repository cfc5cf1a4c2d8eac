#include "app/windows_console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <array>
#include <cstdint>

namespace tevra {
namespace {

// A file or a pipe: the output was redirected and stays so.
bool Redirected(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  const DWORD type = GetFileType(handle);
  return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

// A handle that leads somewhere once the console is attached: a console's
// own, or a character device such as NUL that was given on purpose.
bool Usable(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0 || GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// The C runtime's descriptor fd (1 or 2) writes to handle from now on.
void Rewire(int fd, DWORD which, HANDLE handle) {
  (void)SetStdHandle(which, handle);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime keeps handles as numbers
  const int own = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (own < 0) {
    return;
  }
  (void)_dup2(own, fd);  // duplicates the handle
  (void)_close(own);     // closes handle itself
}

}  // namespace

void UseStartingConsole() {
  struct Output {
    int fd;
    DWORD which;
  };
  constexpr std::array<Output, 2> kOutputs = {{{1, STD_OUTPUT_HANDLE}, {2, STD_ERROR_HANDLE}}};
  // Attached even when both outputs are redirected, so Ctrl+C and the
  // console's closing still reach the download. A process of a console is
  // attached already (and refused here): its handles are the console's.
  if (AttachConsole(ATTACH_PARENT_PROCESS) == 0) {
    return;
  }
  for (const Output& output : kOutputs) {
    const HANDLE given = GetStdHandle(output.which);
    if (Redirected(given) || Usable(given)) {
      continue;
    }
    const HANDLE console =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) {
      Rewire(output.fd, output.which, console);
    }
  }
}

namespace {

ConsoleModesKept::Kept Keep(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode) == 0) {
    return {};
  }
  return {handle, mode};
}

}  // namespace

ConsoleModesKept::ConsoleModesKept()
    : out_(Keep(STD_OUTPUT_HANDLE)), err_(Keep(STD_ERROR_HANDLE)) {}

ConsoleModesKept::~ConsoleModesKept() {
  for (const Kept& kept : {out_, err_}) {
    if (kept.handle != nullptr) {
      (void)SetConsoleMode(kept.handle, kept.mode);
    }
  }
}

}  // namespace tevra
