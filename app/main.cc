#include <cstring>

#include "access/port_grant.h"
#include "app/build_info.h"
#include "app/window_libraries.h"
#include "app/window_module.h"
#include "cli/command_line_main.h"

// Answered without a window, and without loading Qt at all: --download,
// --help, --version, --licenses, and any argument that is not one of Qt's options.
// Nothing or only Qt's options (-platform NAME, ...) open the window.
// --grant-port runs as root: it comes first, before anything else is read.
int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--grant-port") == 0) {
    return tevra::GrantPortMain(argc, argv);
  }
  if (tevra::WantsCommandLine(argc, argv)) {
    return tevra::CommandLineMain(argc, argv, tevra::kProgramVersion, tevra::CarriedLicenses);
  }
  return tevra::WindowModule::Run(argc, argv);
}
