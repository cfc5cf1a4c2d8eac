#include "app/startup_messages.h"

#include <unistd.h>

#include <string>

#include "app/desktop_notification.h"
#include "platform/diagnostics.h"

namespace tevra {
namespace {

// Qt's handler is a plain function: the messages it holds live here, touched
// only by the thread that makes the application object.
std::vector<StartupMessages::Held>& HeldMessages() {
  static std::vector<StartupMessages::Held> held;
  return held;
}

}  // namespace

StartupMessages::StartupMessages() : previous_(qInstallMessageHandler(&StartupMessages::Handle)) {}

void StartupMessages::Release() {
  if (!active_) {
    return;
  }
  active_ = false;
  qInstallMessageHandler(previous_);
  for (const Held& held : HeldMessages()) {
    const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
    previous_(held.type, context, held.text);
  }
  HeldMessages().clear();
}

void StartupMessages::Handle(QtMsgType type, const QMessageLogContext& context,
                             const QString& text) {
  const QByteArray category = context.category != nullptr ? context.category : "";
  if (type != QtFatalMsg) {
    HeldMessages().push_back({type, category, text});
    return;
  }
  QString cause;
  for (const Held& held : HeldMessages()) {
    if (held.type != QtDebugMsg && held.type != QtInfoMsg) {
      const bool named = !held.category.isEmpty() && held.category != "default";
      cause = (named ? QString::fromUtf8(held.category) + ": " : QString()) + held.text + "; ";
      break;
    }
  }
  cause += text.section(QLatin1Char('\n'), 0, 0);
  const std::string printable = Printable(cause.toStdString());
  Diagnose("cannot start the window: " + printable);
  // Started from a file manager, nobody reads stderr.
  DesktopNotification::ShowStartFailure(printable);
  ::_exit(kStartFailed);
}

}  // namespace tevra
