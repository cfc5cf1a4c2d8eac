#include <cstdio>
#include <cstring>
#include <string>

#include "access/port_grant.h"
#include "app/window_libraries.h"
#include "app/window_module.h"
#include "cli/command_line_main.h"

namespace {

int PrintLicenses() {
  std::string text = tevra::CarriedLicenses();
  if (text.empty()) {
    text = "This tevra-updater carries no third-party libraries: it uses the system's.\n";
  }
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0
             ? 0
             : 1;
}

}  // namespace

// Answered without a window, and without loading Qt at all: --download,
// --help, --version, and any argument that is not one of Qt's options.
// Nothing or only Qt's options (-platform NAME, ...) open the window.
// --grant-port runs as root: it comes first, before anything else is read.
int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--grant-port") == 0) {
    return tevra::GrantPortMain(argc, argv);
  }
  if (argc == 2 && std::strcmp(argv[1], "--licenses") == 0) {
    return PrintLicenses();
  }
  if (tevra::WantsCommandLine(argc, argv)) {
    return tevra::CommandLineMain(argc, argv);
  }
  return tevra::WindowModule::Run(argc, argv);
}
