// The window without a device: start-up state, layout, log, keys, the about entry.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "res/dialog_template.h"
#include "res/resource.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"
#include "ui/updater_dialog.h"

namespace tevra::test {
namespace {

using namespace res;  // NOLINT(google-build-using-namespace): the ids read as in the resources

constexpr QLatin1String kNoConnect{"Do without connect in com mode."};

class UpdaterWindowTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(QTest::qWaitForWindowActive(&window)); }
  QPlainTextEdit* Log() const { return driver.Control<QPlainTextEdit>(IDC_LOG); }

  IsolatedEnvironment env;
  UpdaterDialog window;
  WindowDriver driver{window};
};

TEST_F(UpdaterWindowTest, StartsIdleWithEveryControlInsideTheWindow) {
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Tevra dongle updater for Tevra 7 V2.4.1"));
  EXPECT_EQ(QApplication::focusWidget(), Log());
  EXPECT_EQ(window.portIndex() * 10 + window.baudIndex(), 26) << "COM3 at 9600";
  std::vector<QRect> buttons;
  for (const ControlTemplate& ctl : UpdaterDialogTemplate().controls) {
    QWidget* widget = ctl.id == IDC_STATIC ? nullptr : window.controls().Find(ctl.id);
    if (widget == nullptr) {
      EXPECT_EQ(ctl.id, IDC_STATIC) << ctl.idName;
      continue;
    }
    EXPECT_TRUE(widget->isVisible() && window.rect().contains(widget->geometry())) << ctl.idName;
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      EXPECT_TRUE(std::ranges::none_of(buttons, [&](QRect r) {
        return r.intersects(widget->geometry());
      })) << ctl.idName;
      buttons.push_back(widget->geometry());
      EXPECT_GE(button->width(), button->fontMetrics().horizontalAdvance(button->text()));
    }
  }
}

// Newest line first, above what the user typed. Reset does nothing; the
// others log their sentence even where nothing is open.
TEST_F(UpdaterWindowTest, ButtonsOnAnIdleWindowLogTheirSentencesNewestFirst) {
  QTest::keyClicks(Log(), QStringLiteral("typed by hand"));
  for (const int id :
       {IDC_CONNECT_READER, IDC_CONNECT_READER, IDC_RESET, IDC_DOWNLOAD, IDC_COM_CLOSE})
    driver.Click(id);
  EXPECT_EQ(Log()->toPlainText(), QStringList({"Success to Close Com!", "No Open Com!", kNoConnect,
                                               kNoConnect, "typed by hand"})
                                      .join('\n'));
  EXPECT_TRUE(window.isVisible());
}

// Escape closes the window, and so does Enter where no control takes it; a
// focused button takes Enter, and so does the log, as a line break.
TEST_F(UpdaterWindowTest, EscapeAndEnterCloseTheWindowOnlyWhereNoControlTakesThem) {
  const struct {
    int focus;
    Qt::Key key;
    bool staysOpen;
    const char* log;
  } cases[] = {{IDC_LOG, Qt::Key_Escape, false, ""},
               {IDC_READER_TYPE, Qt::Key_Return, false, ""},
               {IDC_CONNECT_READER, Qt::Key_Return, true, "Do without connect in com mode.\n"},
               {IDC_LOG, Qt::Key_Return, true, "\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.focus);
    UpdaterDialog fresh;
    WindowDriver freshDriver{fresh};
    ASSERT_TRUE(QTest::qWaitForWindowActive(&fresh));
    fresh.controls().Find(c.focus)->setFocus();
    QTest::keyClick(QApplication::focusWidget(), c.key);
    EXPECT_EQ(fresh.isVisible(), c.staysOpen);
    EXPECT_EQ(freshDriver.Control<QPlainTextEdit>(IDC_LOG)->toPlainText(), c.log);
  }
}

TEST_F(UpdaterWindowTest, AboutEntryOfTheContextMenuOpensTheAboutBox) {
  QString caption;
  bool iconShown = false;
  const bool aboutSeen = driver.WithModal(
      [&] {
        QTimer::singleShot(0, [&] {
          WindowDriver::WaitFor([] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu != nullptr) {
              QTest::keyClick(menu, Qt::Key_Down);
              QTest::keyClick(menu, Qt::Key_Return);
            }
            return menu != nullptr;
          });
        });
        const QPoint at =
            driver.Control<QProgressBar>(IDC_PROGRESS)->geometry().topLeft() - QPoint(0, 8);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, window.mapToGlobal(at));
        QApplication::sendEvent(&window, &event);
      },
      [&](QDialog& about) {
        auto* button = about.findChild<QPushButton*>(QStringLiteral("IDOK"));
        caption = about.windowTitle() + button->text();
        iconShown = !about.findChildren<QLabel*>().empty();
        QTest::mouseClick(button, Qt::LeftButton);
      });
  ASSERT_TRUE(aboutSeen);
  EXPECT_EQ(caption, QStringLiteral("关于 Tevra确定"));
  EXPECT_TRUE(iconShown);
  EXPECT_TRUE(window.isVisible());
}

}  // namespace
}  // namespace tevra::test
