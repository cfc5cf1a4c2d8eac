// The window module's entry point (see window_module.h).
#include "app/startup_messages.h"
#include "app/updater_app.h"

// NOLINTNEXTLINE(readability-redundant-declaration): the loader looks it up by this name
extern "C" __attribute__((visibility("default"))) int TevraWindowMain(int argc, char** argv);

// NOLINTNEXTLINE(readability-redundant-declaration): the loader looks it up by this name
extern "C" __attribute__((visibility("default"))) void TevraWindowUsePlugins(const char* dir);

// Before the application exists: Qt then looks for plugins in dir alone, not
// in QT_PLUGIN_PATH nor where the Qt it was built as would keep them.
extern "C" void TevraWindowUsePlugins(const char* dir) {
  QCoreApplication::setLibraryPaths({QString::fromLocal8Bit(dir)});
}

extern "C" int TevraWindowMain(int argc, char** argv) {
  tevra::StartupMessages startup;
  // QApplication keeps a reference to argc, which outlives it here.
  tevra::UpdaterApp app(argc, argv);
  startup.Release();
  if (!app.InitInstance()) {
    // Ended by a stop signal: say so, as the shell expects of a killed program.
    return app.stopSignal() != 0 ? 128 + app.stopSignal() : 0;
  }
  return QApplication::exec();
}
