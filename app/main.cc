#include "app/window_module.h"
#include "cli/command_line_main.h"

// Answered without a window, and without loading Qt at all: --download,
// --help, --version, and any argument that is not one of Qt's options.
// Nothing or only Qt's options (-platform NAME, ...) open the window.
int main(int argc, char** argv) {
  if (tevra::WantsCommandLine(argc, argv)) {
    return tevra::CommandLineMain(argc, argv);
  }
  return tevra::WindowModule::Run(argc, argv);
}
