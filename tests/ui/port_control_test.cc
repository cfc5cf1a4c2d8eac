// Port control through the real window and port, seen from the pty's device side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <string>

#include "app/stop_signal_notifier.h"
#include "platform/line_settings.h"
#include "res/combo_lists.h"
#include "res/resource.h"
#include "sim/pty_link.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"
#include "ui/updater_dialog.h"

namespace tevra::test {
namespace {

constexpr QLatin1String kOpened{"Com has opened already!"};
constexpr QLatin1String kNotOpened{"Com has not opened!"};

class PortControlTest : public testing::Test {
 protected:
  void Device(int port) {
    std::string error;
    EXPECT_TRUE(m_link.Open(port, env.portsDir(), &error)) << error;
  }
  std::uint32_t LineRate() const {
    LineSettings line;
    EXPECT_TRUE(ReadLineSettings(m_link.master_fd(), line)) << errno;
    return RateOf(line);
  }

  // The updater locks the port while open.
  bool PortHeld() const {
    const int fd = ::open(m_link.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0) << errno;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
  }

  IsolatedEnvironment env;
  sim::PtyLink m_link;
  UpdaterDialog window;
  WindowDriver driver{window};
};

// The defaults open COM3 at 9600 after a failed try; Com Close lets the port go.
TEST_F(PortControlTest, OpenCloseTypedTextSettingsDialogAndEveryRate) {
  EXPECT_EQ(driver.OpenPort(), kNotOpened);
  Device(3);
  EXPECT_EQ(driver.OpenPort(), kOpened);
  EXPECT_TRUE(PortHeld());
  EXPECT_EQ(LineRate(), 9600U);
  driver.Click(res::IDC_COM_CLOSE);
  EXPECT_FALSE(PortHeld());
  // Typed text is never read: a box whose text was typed has no selected row,
  // which opens nothing (COM0, or a rate of 0).
  for (const char* box : {"IDC_PORT_NUMBER", "IDC_BAUD_RATE"}) {
    ASSERT_EQ(driver.OpenPort(2, 6), kOpened);
    ASSERT_TRUE(driver.WithModal([&] { driver.Click(res::IDC_COM_SETTINGS); },
                                 [&](QDialog& dialog) {
                                   auto* combo = dialog.findChild<QComboBox*>(box);
                                   combo->lineEdit()->selectAll();
                                   QTest::keyClicks(combo->lineEdit(), combo->itemText(2));
                                   QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
                                 }));
    EXPECT_EQ(driver.TopLine(), kNotOpened) << box;
    EXPECT_FALSE(PortHeld()) << box;
  }
  // Showing the dialog closes the port; it shows the rows last used and
  // cancelling logs nothing.
  ASSERT_EQ(driver.OpenPort(2, 0), kOpened);
  const QStringList before = driver.LogLines();
  QStringList shown;
  ASSERT_TRUE(driver.WithModal(
      [&] { driver.Click(res::IDC_COM_SETTINGS); },
      [&](QDialog& dialog) {
        shown << dialog.windowTitle() << dialog.findChild<QLabel*>("IDC_PORT_STATE")->text()
              << dialog.findChild<QComboBox*>("IDC_PORT_NUMBER")->currentText()
              << dialog.findChild<QComboBox*>("IDC_BAUD_RATE")->currentText()
              << (PortHeld() ? "held" : "free");
        QTest::keyClick(&dialog, Qt::Key_Escape);
      }));
  EXPECT_EQ(shown, QStringList({"com settings", "Close", "COM3", "110", "free"}));
  EXPECT_EQ(driver.LogLines(), before);
  for (std::size_t row = 0; row < res::kBaudRates.size(); ++row) {
    ASSERT_EQ(driver.OpenPort(-1, static_cast<int>(row)), kOpened);
    EXPECT_EQ(LineRate(), std::stoul(res::kBaudRates[row])) << row;
  }
}

// A stop signal or a desktop logout closes the port and puts the line back
// as the updater found it, then closes the window and any menu over it.
TEST_F(PortControlTest, StopSignalsCloseThePortWithTheLineRestored) {
  Device(3);
  for (const int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
    SCOPED_TRACE(signal);
    LineSettings line;
    ASSERT_TRUE(ReadLineSettings(m_link.master_fd(), line));
    ASSERT_TRUE(SetRate(line, 1200) && WriteLineSettings(m_link.master_fd(), line));
    ASSERT_EQ(driver.OpenPort(), kOpened);
    ASSERT_EQ(LineRate(), 9600U);
    int seen = 0;
    const StopSignalNotifier notifier([&](int number) {
      seen = number;
      window.StopForSignal();
    });
    ASSERT_TRUE(notifier.valid());
    if (signal == SIGQUIT) {  // over the open context menu, whose loop must end too
      QTimer::singleShot(0, [signal] { ::raise(signal); });
      QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(5, 5),
                             window.mapToGlobal(QPoint(5, 5)));
      QApplication::sendEvent(&window, &menu);
    } else {
      ASSERT_EQ(::raise(signal), 0);
    }
    EXPECT_TRUE(WindowDriver::WaitFor([&] { return seen == signal; }));
    EXPECT_FALSE(PortHeld());
    EXPECT_EQ(LineRate(), 1200U);
  }
}

}  // namespace
}  // namespace tevra::test
