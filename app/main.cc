#include "app/window_module.h"
#include "cli/command_line_main.h"

// Answered without a window, and without loading Qt at all: --download,
// --help, --version. Everything else opens the window.
int main(int argc, char** argv) {
  if (tevra::WantsCommandLine(argc, argv)) {
    return tevra::CommandLineMain(argc, argv);
  }
  return tevra::WindowModule::Run(argc, argv);
}
