// The window module's entry point (see window_module.h).
#include "app/updater_app.h"

// NOLINTNEXTLINE(readability-redundant-declaration): the loader looks it up by this name
extern "C" __attribute__((visibility("default"))) int TevraWindowMain(int argc, char** argv);

extern "C" int TevraWindowMain(int argc, char** argv) {
  // QApplication keeps a reference to argc, which outlives it here.
  tevra::UpdaterApp app(argc, argv);
  if (!app.InitInstance()) {
    // Ended by a stop signal: say so, as the shell expects of a killed program.
    return app.stopSignal() != 0 ? 128 + app.stopSignal() : 0;
  }
  return QApplication::exec();
}
