// The updater window alone, for the tests: the window mode of the Windows
// program without its command line. Carries the payload a test bundles into
// it, or downloads the file named on its command line.
#include <string>

#include "ui/windows/updater_window.h"

int main(int argc, char** argv) {
  return tevra::RunUpdaterWindow(argc > 1 ? std::string(argv[1]) : std::string());
}
