#include "tests/ui/window_driver.h"

#include <QApplication>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QTest>

#include "bundler/bundle.h"
#include "res/resource.h"
#include "tests/support/elf_program.h"

namespace tevra::test {

WindowDriver::WindowDriver(UpdaterDialog& window) : m_window(window) {
  m_modalPoll.setInterval(std::chrono::milliseconds(10));
  m_window.show();
  m_window.activateWindow();
  (void)QTest::qWaitForWindowExposed(&m_window);
}

void WindowDriver::Click(int id) const {
  QPushButton* button = Button(id);
  QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, button->rect().center());
}

bool WindowDriver::WithModal(const std::function<void()>& trigger,
                             const std::function<void(QDialog&)>& inDialog) {
  bool seen = false;
  const QMetaObject::Connection poll = QObject::connect(&m_modalPoll, &QTimer::timeout, [&] {
    auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (modal == nullptr || modal == &m_window || !modal->isVisible()) {
      return;
    }
    m_modalPoll.stop();
    seen = true;
    inDialog(*modal);
  });
  m_modalPoll.start();
  trigger();
  m_modalPoll.stop();
  QObject::disconnect(poll);
  return seen;
}

QString WindowDriver::OpenPort(int portRow, int baudRow) {
  WithModal([this] { Click(res::IDC_COM_SETTINGS); },
            [&](QDialog& dialog) {
              auto* ports = dialog.findChild<QComboBox*>(QStringLiteral("IDC_PORT_NUMBER"));
              auto* rates = dialog.findChild<QComboBox*>(QStringLiteral("IDC_BAUD_RATE"));
              ports->setCurrentIndex(portRow >= 0 ? portRow : ports->currentIndex());
              rates->setCurrentIndex(baudRow >= 0 ? baudRow : rates->currentIndex());
              auto* ok = dialog.findChild<QPushButton*>(QStringLiteral("IDOK"));
              QTest::mouseClick(ok, Qt::LeftButton, Qt::NoModifier, ok->rect().center());
            });
  return TopLine();
}

std::string WindowDriver::BundledUpdater(const IsolatedEnvironment& env, const Bytes& payload,
                                         std::string& error) {
  WriteFile(env.WorkFile("image"), ElfProgram(3000, 7));
  WriteFile(env.WorkFile("payload"), payload);
  const std::string updater = env.WorkFile("updater");
  return PackBundle(env.WorkFile("image"), env.WorkFile("payload"), updater, error) ? updater : "";
}

QStringList WindowDriver::LogLines() const {
  return Control<QPlainTextEdit>(res::IDC_LOG)
      ->toPlainText()
      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

}  // namespace tevra::test
