#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "app/build_info.h"
#include "app/windows_console.h"
#include "app/windows_notices.h"
#include "app/windows_window.h"
#include "cli/command_line_main.h"

namespace {

std::string Narrow(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) {
    return {};
  }
  std::string utf8(static_cast<std::size_t>(n), '\0');
  (void)WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), n, nullptr, nullptr);
  utf8.pop_back();  // the terminating zero
  return utf8;
}

// The arguments as the user typed them, in UTF-8 whatever the code page:
// a report's path may hold any character.
std::vector<std::string> Arguments() {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  if (wide == nullptr) {
    return args;
  }
  for (int i = 0; i < count; ++i) {
    args.push_back(Narrow(wide[i]));
  }
  (void)LocalFree(wide);
  return args;
}

// Beside the system's own libraries, only the toolchain's runtime is linked
// in; GCC's needs no notice (its runtime library exception), mingw-w64's do.
std::string CarriedLicenses() {
  return std::string(
             "This tevra-updater.exe carries the runtime of the mingw-w64 toolchain it was\n"
             "built with: GCC's, under the GCC Runtime Library Exception, and mingw-w64's\n"
             "C runtime and winpthreads, whose notices follow.\n\n") +
         tevra::kToolchainNotices;
}

}  // namespace

// Without arguments the window opens; any argument is the command line's,
// which writes to the console it was started from (see windows_console.h).
int main() {
  std::vector<std::string> args = Arguments();
  if (args.size() <= 1) {
    return tevra::RunWindow();
  }
  tevra::UseStartingConsole();
  const tevra::ConsoleModesKept modes;
  // Lines end in \n as on Linux, in a file or a pipe too: a script reads
  // the same bytes on both systems.
  (void)_setmode(1, _O_BINARY);
  (void)_setmode(2, _O_BINARY);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  return tevra::CommandLineMain(static_cast<int>(args.size()), argv.data(), tevra::kProgramVersion,
                                CarriedLicenses);
}
