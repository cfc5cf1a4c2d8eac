#pragma once

#include <QApplication>

namespace tevra {

// The application object: owns the QApplication and runs the updater window.
class UpdaterApp {
 public:
  // argc must outlive the object (it is main's own).
  UpdaterApp(int& argc, char** argv);

  // Runs the updater window modally; false when it has closed, so the
  // program ends without a message loop of its own.
  bool InitInstance();

  // The stop signal that closed the window; 0 when the user did.
  int stopSignal() const { return m_stopSignal; }

 private:
  QApplication m_app;
  int m_stopSignal = 0;
};

}  // namespace tevra
