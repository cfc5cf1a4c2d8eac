#include <cstddef>
#include <iostream>
#include <span>
#include <string_view>

#include "app/build_info.h"
#include "app/updater_app.h"

namespace {

constexpr std::string_view kUsage =
    "usage: tevra-updater [Qt options]\n"
    "       tevra-updater --version | --help\n"
    "Opens the updater window, which downloads the firmware bundled into this\n"
    "program (see tevra-bundle) to a dongle on a serial port.\n"
    "\n"
    "  --version  print the version and exit\n"
    "  --help     show this text and exit\n"
    "\n"
    "Qt's own options (-platform NAME, -display DISPLAY, ...) are accepted;\n"
    "tevra-updater(1) lists the environment and the files the updater uses.\n";

}  // namespace

int main(int argc, char** argv) {
  // Answered before the QApplication exists, so no display is needed to ask.
  for (const std::string_view arg : std::span(argv, static_cast<std::size_t>(argc)).subspan(1)) {
    if (arg == "--version" || arg == "--help") {
      if (arg == "--version") {
        std::cout << "tevra-updater " << tevra::kProgramVersion << '\n';
      } else {
        std::cout << kUsage;
      }
      return std::cout.flush() ? 0 : 1;
    }
  }
  tevra::UpdaterApp app(argc, argv);
  if (!app.InitInstance()) {
    return 0;
  }
  return QApplication::exec();
}
