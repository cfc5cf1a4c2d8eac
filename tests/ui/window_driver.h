#pragma once

#include <QDialog>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <functional>
#include <ostream>

#include "tests/support/bytes.h"
#include "tests/support/isolated_environment.h"
#include "ui/updater_dialog.h"

namespace tevra::test {

// Generous cap for anything a test waits for; only reached on failure.
inline constexpr std::chrono::milliseconds kWaitCap{30000};

// Drives the real updater window the way a user does: clicks, keys, and the
// modal dialogs it opens.
class WindowDriver {
 public:
  explicit WindowDriver(UpdaterDialog& window);
  WindowDriver(const WindowDriver&) = delete;
  WindowDriver& operator=(const WindowDriver&) = delete;

  template <class T>
  T* Control(int id) const {
    return m_window.controls().Get<T>(id);
  }
  QPushButton* Button(int id) const { return Control<QPushButton>(id); }

  void Click(int id) const;

  // Runs `trigger`; once a modal dialog is up, runs `inDialog` on it (from
  // that dialog's own event loop). Returns whether a modal dialog appeared.
  bool WithModal(const std::function<void()>& trigger,
                 const std::function<void(QDialog&)>& inDialog);

  // "Com settings", then confirm with "Open Com" after choosing the rows
  // (a negative row keeps the one shown). Returns the window's top log line.
  QString OpenPort(int portRow = -1, int baudRow = -1);

  // A file carrying `payload` as the window reads it (any program does as
  // the updater part), in env's work folder: its path; empty, with error
  // set, when it cannot be made.
  static std::string BundledUpdater(const IsolatedEnvironment& env, const Bytes& payload,
                                    std::string& error);

  QStringList LogLines() const;  // newest first
  QString TopLine() const { return LogLines().value(0); }
  int CountLines(const QString& line) const { return static_cast<int>(LogLines().count(line)); }
  static bool WaitFor(const std::function<bool()>& predicate,
                      std::chrono::milliseconds cap = kWaitCap) {
    return QTest::qWaitFor(predicate, static_cast<int>(cap.count()));
  }

 private:
  UpdaterDialog& m_window;
  QTimer m_modalPoll;
};

}  // namespace tevra::test

// Readable QString values in test failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << text.toStdString();
}
inline void PrintTo(QLatin1String text, std::ostream* out) {
  *out << text.data();
}
