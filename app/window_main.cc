// The window module's entry point (see window_module.h).
#include <QDir>
#include <QFontDatabase>

#include "app/startup_messages.h"
#include "app/updater_app.h"
#include "platform/diagnostics.h"

// NOLINTNEXTLINE(readability-redundant-declaration): the loader looks it up by this name
extern "C" __attribute__((visibility("default"))) int TevraWindowMain(int argc, char** argv);

// NOLINTNEXTLINE(readability-redundant-declaration): the loader looks it up by this name
extern "C" __attribute__((visibility("default"))) void TevraWindowUseCarried(const char* plugins,
                                                                             const char* fonts);

namespace {

QString& CarriedFonts() {
  static QString dir;
  return dir;
}

// The captions' Chinese characters, when no system font has them.
void AddCarriedFonts() {
  if (CarriedFonts().isEmpty() ||
      !QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty()) {
    return;
  }
  for (const QString& name : QDir(CarriedFonts()).entryList({"*.ttf"}, QDir::Files)) {
    if (QFontDatabase::addApplicationFont(CarriedFonts() + "/" + name) < 0) {
      tevra::Diagnose("the carried font " + tevra::Printable(name.toStdString()) +
                      " does not load");
    }
  }
}

}  // namespace

// Before the application exists: Qt then looks for plugins in that directory
// alone, not in QT_PLUGIN_PATH nor where the Qt it was built as keeps them.
extern "C" void TevraWindowUseCarried(const char* plugins, const char* fonts) {
  QCoreApplication::setLibraryPaths({QString::fromLocal8Bit(plugins)});
  CarriedFonts() = QString::fromLocal8Bit(fonts);
}

extern "C" int TevraWindowMain(int argc, char** argv) {
  tevra::StartupMessages startup;
  // QApplication keeps a reference to argc, which outlives it here.
  tevra::UpdaterApp app(argc, argv);
  startup.Release();
  AddCarriedFonts();
  if (!app.InitInstance()) {
    // Ended by a stop signal: say so, as the shell expects of a killed program.
    return app.stopSignal() != 0 ? 128 + app.stopSignal() : 0;
  }
  return QApplication::exec();
}
