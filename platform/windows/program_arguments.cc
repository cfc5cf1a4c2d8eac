#include "platform/program_arguments.h"

// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstddef>
#include <span>

#include "platform/windows/system_path.h"

namespace tevra {

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  if (wide == nullptr) {
    return args;
  }
  const std::span<wchar_t*> all(wide, static_cast<std::size_t>(count));
  for (std::size_t i = 1; i < all.size(); ++i) {
    args.push_back(win32::Narrow(all[i]));
  }
  (void)LocalFree(static_cast<void*>(wide));
  return args;
}

}  // namespace tevra
