#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/build_info.h"
#include "app/windows_console.h"
#include "app/windows_notices.h"
#include "app/windows_window.h"
#include "cli/command_line_main.h"
#include "platform/program_arguments.h"

namespace {

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
int main(int argc, char** argv) {
  // In UTF-8 whatever the code page: a report's path may hold any character.
  std::vector<std::string> args = tevra::ProgramArguments(argc, argv);
  if (args.empty()) {
    return tevra::RunWindow();
  }
  args.insert(args.begin(), argc > 0 ? argv[0] : "tevra-updater");
  tevra::UseStartingConsole();
  const tevra::ConsoleModesKept modes;
  // Lines end in \n as on Linux, in a file or a pipe too: a script reads
  // the same bytes on both systems.
  (void)_setmode(1, _O_BINARY);
  (void)_setmode(2, _O_BINARY);
  std::vector<char*> pointers;
  pointers.reserve(args.size() + 1);
  for (std::string& arg : args) {
    pointers.push_back(arg.data());
  }
  pointers.push_back(nullptr);
  return tevra::CommandLineMain(static_cast<int>(args.size()), pointers.data(),
                                tevra::kProgramVersion, CarriedLicenses);
}
