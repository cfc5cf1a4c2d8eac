#include "app/updater_app.h"

#include <QColor>
#include <QPalette>

#include "app/build_info.h"
#include "app/stop_signal_notifier.h"
#include "ui/updater_dialog.h"

namespace tevra {

namespace {

const QColor kDialogBackground(204, 204, 153);
const QColor kDialogText(Qt::black);

// Every dialog's background and text colour; editors keep their own.
void SetDialogBkColor(const QColor& background, const QColor& text) {
  QPalette palette = QApplication::palette();
  palette.setColor(QPalette::Window, background);
  palette.setColor(QPalette::Active, QPalette::WindowText, text);
  palette.setColor(QPalette::Inactive, QPalette::WindowText, text);
  QApplication::setPalette(palette);
}

}  // namespace

UpdaterApp::UpdaterApp(int& argc, char** argv) : m_app(argc, argv) {
  QApplication::setApplicationName(QStringLiteral("tevra-updater"));
  QApplication::setApplicationVersion(QString::fromLatin1(kProgramVersion));
  QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopAppId));
}

bool UpdaterApp::InitInstance() {
  UpdaterDialog dialog;
  SetDialogBkColor(kDialogBackground, kDialogText);
  const StopSignalNotifier stopSignals([this, &dialog](int signal) {
    m_stopSignal = signal;
    dialog.StopForSignal();
  });
  dialog.exec();
  return false;
}

}  // namespace tevra
