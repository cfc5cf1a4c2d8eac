#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <vector>

namespace tevra {

// Holds Qt's messages while the application object starts. When Qt gives up
// there (no display, a platform plugin that does not load), the person gets
// one line with the first message held, the cause, and Qt's verdict (also as
// a desktop notification), and the program ends with status 1 instead of
// Qt's several lines and an abort.
// Otherwise Release() passes the held messages on as Qt would have.
class StartupMessages {
 public:
  StartupMessages();
  StartupMessages(const StartupMessages&) = delete;
  StartupMessages& operator=(const StartupMessages&) = delete;
  ~StartupMessages() { Release(); }

  void Release();

  static constexpr int kStartFailed = 1;

  struct Held {
    QtMsgType type;
    QByteArray category;
    QString text;
  };

 private:
  static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text);

  QtMessageHandler previous_ = nullptr;
  bool active_ = true;
};

}  // namespace tevra
