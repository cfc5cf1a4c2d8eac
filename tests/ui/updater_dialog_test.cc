// The updater window without a device: start-up state, layout, log, keys,
// the about entry and the settings dialog's own behaviour.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <map>
#include <vector>

#include "platform/port_resolver.h"
#include "res/dialog_template.h"
#include "res/resource.h"
#include "tests/support/fake_serial_tree.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"
#include "ui/port_settings_dialog.h"
#include "ui/updater_dialog.h"

namespace tevra::test {
namespace {

using namespace res;  // NOLINT(google-build-using-namespace): the ids read as in the resources

class UpdaterWindowTest : public testing::Test {
 protected:
  IsolatedEnvironment env;
  UpdaterDialog window;
  WindowDriver driver{window};
};

TEST_F(UpdaterWindowTest, StartsIdleWithEmptyLogComSelectedAndDownloadEnabled) {
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Tevra dongle updater for Tevra 7 V2.4.1"));
  EXPECT_TRUE(driver.Control<QPlainTextEdit>(IDC_LOG)->toPlainText().isEmpty());
  auto* reader = driver.Control<QComboBox>(IDC_READER_TYPE);
  EXPECT_EQ(reader->currentIndex(), 0);
  EXPECT_EQ(reader->currentText(), QStringLiteral("COM"));
  EXPECT_EQ(reader->count(), 1);
  auto* progress = driver.Control<QProgressBar>(IDC_PROGRESS);
  EXPECT_EQ(progress->minimum(), 1);
  EXPECT_EQ(progress->maximum(), 100);
  EXPECT_LT(progress->value(), progress->minimum()) << "the bar shows its minimum";
  EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
  EXPECT_EQ(window.portIndex(), 2) << "COM3";
  EXPECT_EQ(window.baudIndex(), 6) << "9600";
  EXPECT_FALSE(window.portOpen());
  EXPECT_FALSE(window.downloading());
  EXPECT_FALSE(window.timerActive(UpdaterDialog::TIMER_PROGRESS));
  EXPECT_FALSE(window.timerActive(UpdaterDialog::TIMER_ERASE_RETRY));
  EXPECT_FALSE(window.windowIcon().isNull());
  EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
  EXPECT_EQ(QApplication::focusWidget(), driver.Control<QPlainTextEdit>(IDC_LOG));
}

TEST_F(UpdaterWindowTest, EveryTemplateControlExistsInsideTheWindowWithoutOverlap) {
  const QRect client = window.rect();
  std::vector<QRect> buttons;
  for (const ControlTemplate& ctl : UpdaterDialogTemplate().controls) {
    if (ctl.id == IDC_STATIC) {
      continue;
    }
    QWidget* widget = window.controls().Find(ctl.id);
    ASSERT_NE(widget, nullptr) << ctl.idName;
    EXPECT_EQ(widget->objectName(), QString::fromUtf8(ctl.idName));
    EXPECT_TRUE(widget->isVisible()) << ctl.idName;
    EXPECT_TRUE(client.contains(widget->geometry())) << ctl.idName;
    if (ctl.kind == ControlKind::kPushButton) {
      for (const QRect& other : buttons) {
        EXPECT_FALSE(other.intersects(widget->geometry())) << ctl.idName;
      }
      buttons.push_back(widget->geometry());
      EXPECT_GE(widget->width(),
                widget->fontMetrics().horizontalAdvance(qobject_cast<QPushButton*>(widget)->text()))
          << ctl.idName << ": its caption fits";
    }
  }
  // The log spans nearly the whole width, as 429 of 442 units do.
  EXPECT_GT(driver.Control<QPlainTextEdit>(IDC_LOG)->width() * 100, client.width() * 95);
}

TEST_F(UpdaterWindowTest, LogPutsNewestLineFirstAndKeepsWhatTheUserTyped) {
  auto* log = driver.Control<QPlainTextEdit>(IDC_LOG);
  log->setFocus();
  QTest::keyClicks(log, QStringLiteral("typed by hand"));
  window.AppendLog(QStringLiteral("a"));
  window.AppendLog(QStringLiteral("b"));
  window.AppendLog(QStringLiteral("c"));
  EXPECT_EQ(log->toPlainText(), QStringLiteral("c\nb\na\ntyped by hand"));
  EXPECT_EQ(log->document()->blockCount(), 4) << "one line per entry, no stray breaks";
}

TEST_F(UpdaterWindowTest, ConnectReaderTwiceAddsTheLineTwice) {
  driver.Click(IDC_CONNECT_READER);
  driver.Click(IDC_CONNECT_READER);
  EXPECT_EQ(driver.LogLines(), QStringList({QStringLiteral("Do without connect in com mode."),
                                            QStringLiteral("Do without connect in com mode.")}));
}

TEST_F(UpdaterWindowTest, ResetChangesNothing) {
  window.AppendLog(QStringLiteral("before"));
  const QString log = driver.Control<QPlainTextEdit>(IDC_LOG)->toPlainText();
  const bool modal =
      driver.WithModal([&] { driver.Click(IDC_RESET); }, [](QDialog& d) { d.reject(); });
  EXPECT_FALSE(modal);
  EXPECT_EQ(driver.Control<QPlainTextEdit>(IDC_LOG)->toPlainText(), log);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.portOpen());
  EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
}

TEST_F(UpdaterWindowTest, TabWalksTheDialogOrderAndLeavesTheLogWithoutTypingATab) {
  auto* log = driver.Control<QPlainTextEdit>(IDC_LOG);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  log->setFocus();
  QStringList order;
  for (int i = 0; i < 7; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QWidget* focus = QApplication::focusWidget();
    // An editable combo box hands the focus to its line edit.
    while (focus != nullptr && focus->objectName().isEmpty()) {
      focus = focus->parentWidget();
    }
    order << (focus != nullptr ? focus->objectName() : QStringLiteral("(none)"));
  }
  EXPECT_EQ(order, QStringList({"IDC_COM_CLOSE", "IDC_DOWNLOAD", "IDC_READER_TYPE",
                                "IDC_COM_SETTINGS", "IDC_CONNECT_READER", "IDC_RESET", "IDC_LOG"}));
  EXPECT_TRUE(log->toPlainText().isEmpty());
}

TEST_F(UpdaterWindowTest, EscapeClosesTheWindow) {
  QTest::keyClick(driver.Control<QPlainTextEdit>(IDC_LOG), Qt::Key_Escape);
  EXPECT_FALSE(window.isVisible());
}

TEST_F(UpdaterWindowTest, EnterWhereNoControlTakesItClosesTheWindow) {
  auto* reader = driver.Control<QComboBox>(IDC_READER_TYPE);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  reader->setFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(reader->count(), 1) << "Enter added no entry";
}

TEST_F(UpdaterWindowTest, EnterPressesTheFocusedButtonAndBreaksALineInTheLog) {
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  driver.Button(IDC_CONNECT_READER)->setFocus();
  QTest::keyClick(driver.Button(IDC_CONNECT_READER), Qt::Key_Return);
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(driver.TopLine(), QStringLiteral("Do without connect in com mode."));

  auto* log = driver.Control<QPlainTextEdit>(IDC_LOG);
  log->setFocus();
  log->moveCursor(QTextCursor::End);
  QTest::keyClick(log, Qt::Key_Return);
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(log->toPlainText(), QStringLiteral("Do without connect in com mode.\n\n"));
}

TEST_F(UpdaterWindowTest, DownloadWithThePortClosedSaysNoOpenComAndStaysEnabled) {
  driver.Click(IDC_DOWNLOAD);
  EXPECT_EQ(driver.LogLines(), QStringList({QStringLiteral("No Open Com!")}));
  EXPECT_TRUE(driver.Button(IDC_DOWNLOAD)->isEnabled());
  EXPECT_FALSE(window.downloading());
  EXPECT_FALSE(window.timerActive(UpdaterDialog::TIMER_PROGRESS));
  EXPECT_FALSE(window.timerActive(UpdaterDialog::TIMER_ERASE_RETRY));
}

TEST_F(UpdaterWindowTest, ComCloseOnAClosedPortStillReportsSuccess) {
  driver.Click(IDC_COM_CLOSE);
  EXPECT_EQ(driver.LogLines(), QStringList({QStringLiteral("Success to Close Com!")}));
  EXPECT_FALSE(window.portOpen());
}

TEST_F(UpdaterWindowTest, AboutEntryOfTheContextMenuOpensTheAboutBox) {
  QString caption;
  QString ok;
  bool iconShown = false;
  const auto chooseAbout = [] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr) {
      return false;
    }
    QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
    return true;
  };
  bool menuSeen = false;
  QTimer menuTimer;
  const bool aboutSeen = driver.WithModal(
      [&] {
        menuTimer.setSingleShot(true);
        QObject::connect(&menuTimer, &QTimer::timeout,
                         [&] { menuSeen = WindowDriver::WaitFor(chooseAbout); });
        menuTimer.start(0);
        const QPoint at =
            driver.Control<QProgressBar>(IDC_PROGRESS)->geometry().topLeft() - QPoint(0, 8);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, window.mapToGlobal(at));
        QApplication::sendEvent(&window, &event);
      },
      [&](QDialog& about) {
        caption = about.windowTitle();
        auto* button = about.findChild<QPushButton*>(QStringLiteral("IDOK"));
        ok = button->text();
        iconShown = !about.findChildren<QLabel*>().empty();
        QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, button->rect().center());
      });
  EXPECT_TRUE(menuSeen);
  ASSERT_TRUE(aboutSeen);
  EXPECT_EQ(caption, QStringLiteral("关于 Tevra"));
  EXPECT_EQ(ok, QStringLiteral("确定"));
  EXPECT_TRUE(iconShown);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(driver.LogLines().isEmpty()) << "the window's state is unchanged";
}

// The rows keep their names; each tooltip says what the number is now, and
// a link wins over the numbering.
TEST(PortSettingsDialogTest, EveryPortRowSaysWhatItsNumberIs) {
  const FakeSerialTree tree;
  tree.Plug({"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"}, "ttyUSB0", "1-1.2");
  tree.Plug({"2341", "0043", "Arduino (www.arduino.cc)", "", ""}, "ttyACM0", "1-1.3");
  const TempDir links;
  ASSERT_EQ(::symlink("/nowhere", links.Path("COM4").c_str()), 0);
  auto ports = [&] {
    return PortResolver(links.path(), {tree.sysfsRoot(), tree.devRoot(), tree.Path("state")});
  };
  PortSettingsDialog dialog(2, 6, 0, ports());
  const QString dev = QString::fromStdString(tree.devRoot());
  const std::map<int, QString> tips = {
      {0, dev + "/ttyS0 - built-in serial port"},
      {2, dev + "/ttyUSB0 - FTDI FT232R USB UART - serial A50285BI"},
      {3, "linked to /nowhere - no such device"},
  };
  auto* box = dialog.findChild<QComboBox*>("IDC_PORT_NUMBER");
  ASSERT_EQ(box->count(), 13);
  for (int row = 0; row < box->count(); ++row) {
    EXPECT_EQ(box->itemText(row), QStringLiteral("COM%1").arg(row + 1));
    EXPECT_EQ(box->itemData(row, Qt::ToolTipRole).toString(),
              tips.contains(row) ? tips.at(row) : QStringLiteral("no device"));
  }
  EXPECT_EQ(ports().DevicePath(4), links.Path("COM4"));
  EXPECT_EQ(ports().NumbersInUse(), "COM1, COM3, COM4");
}

}  // namespace
}  // namespace tevra::test
