// Port control through the real window and port, observed on the device's
// side of a pseudo-terminal published as COMn.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <cerrno>
#include <string>

#include "platform/line_settings.h"
#include "res/combo_lists.h"
#include "res/resource.h"
#include "sim/pty_link.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"
#include "ui/updater_dialog.h"

namespace tevra::test {
namespace {

using res::IDC_COM_CLOSE;
using res::IDC_COM_SETTINGS;

constexpr QLatin1String kOpened{"Com has opened already!"};
constexpr QLatin1String kNotOpened{"Com has not opened!"};

class PortControlTest : public testing::Test {
 protected:
  // A device end published as COM<port>.
  sim::PtyLink& Device(int port) {
    std::string error;
    EXPECT_TRUE(m_link.Open(port, env.portsDir(), &error)) << error;
    return m_link;
  }

  // The rate the line runs at, read on the device's side.
  std::uint32_t LineRate() const {
    LineSettings line;
    EXPECT_TRUE(ReadLineSettings(m_link.master_fd(), line)) << errno;
    return RateOf(line);
  }

  // Whether some program holds the port: the updater locks it while open.
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

// The defaults open COM3 at 9600; an absent device can be retried; Com Close
// lets the port go.
TEST_F(PortControlTest, DefaultsOpenCom3At9600AfterAFailedTryAndComCloseReleasesIt) {
  EXPECT_EQ(driver.OpenPort(), kNotOpened);
  Device(3);
  EXPECT_EQ(driver.OpenPort(), kOpened);
  EXPECT_TRUE(window.portOpen());
  EXPECT_TRUE(PortHeld());
  EXPECT_EQ(LineRate(), 9600U);
  driver.Click(IDC_COM_CLOSE);
  EXPECT_EQ(driver.TopLine(), QStringLiteral("Success to Close Com!"));
  EXPECT_FALSE(window.portOpen());
  EXPECT_FALSE(PortHeld());
}

// Typed text is never read: a box whose text was typed has no selected row,
// which opens nothing (COM0, or a rate of 0).
TEST_F(PortControlTest, TypedTextIsNoRowAndOpensNothing) {
  Device(3);
  for (const char* box : {"IDC_PORT_NUMBER", "IDC_BAUD_RATE"}) {
    SCOPED_TRACE(box);
    ASSERT_EQ(driver.OpenPort(2, 6), kOpened);
    ASSERT_TRUE(driver.WithModal([&] { driver.Click(IDC_COM_SETTINGS); },
                                 [&](QDialog& dialog) {
                                   auto* combo = dialog.findChild<QComboBox*>(box);
                                   combo->lineEdit()->selectAll();
                                   QTest::keyClicks(combo->lineEdit(), combo->itemText(2));
                                   QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
                                 }));
    EXPECT_EQ(driver.TopLine(), kNotOpened);
    EXPECT_FALSE(window.portOpen());
    EXPECT_FALSE(PortHeld());
    const bool portBox = std::string(box) == "IDC_PORT_NUMBER";
    EXPECT_EQ(window.portIndex(), portBox ? -1 : 2);
    EXPECT_EQ(window.baudIndex(), portBox ? 6 : -1);
  }
}

// Showing the dialog closes the port; it shows the rows last used (COM1,
// 110) and cancelling logs nothing and keeps them.
TEST_F(PortControlTest, SettingsDialogClosesThePortAndShowsTheLastRows) {
  Device(1);
  ASSERT_EQ(driver.OpenPort(0, 0), kOpened);
  EXPECT_EQ(LineRate(), 110U);
  QStringList shown;
  bool heldWhileShown = true;
  ASSERT_TRUE(driver.WithModal(
      [&] { driver.Click(IDC_COM_SETTINGS); },
      [&](QDialog& dialog) {
        shown << dialog.windowTitle() << dialog.findChild<QLabel*>("IDC_PORT_STATE")->text()
              << dialog.findChild<QComboBox*>("IDC_PORT_NUMBER")->currentText()
              << dialog.findChild<QComboBox*>("IDC_BAUD_RATE")->currentText();
        heldWhileShown = PortHeld();
        QTest::keyClick(&dialog, Qt::Key_Escape);
      }));
  EXPECT_EQ(shown, QStringList({"com settings", "Close", "COM1", "110"}));
  EXPECT_FALSE(heldWhileShown);
  EXPECT_FALSE(window.portOpen());
  EXPECT_FALSE(PortHeld());
  EXPECT_EQ(driver.LogLines(), QStringList({kOpened}));
  EXPECT_EQ(window.portIndex(), 0);
  EXPECT_EQ(window.baudIndex(), 0);
}

// Every row of the rate list opens at its own rate, the last one included.
TEST_F(PortControlTest, EveryRateRowOpensAtItsRate) {
  Device(3);
  for (int row = 0; row < static_cast<int>(res::kBaudRates.size()); ++row) {
    SCOPED_TRACE(res::kBaudRates[static_cast<std::size_t>(row)]);
    ASSERT_EQ(driver.OpenPort(-1, row), kOpened);
    EXPECT_EQ(LineRate(), std::stoul(res::kBaudRates[static_cast<std::size_t>(row)]));
  }
  EXPECT_EQ(res::BaudRateForRow(15), 0U);
  EXPECT_EQ(res::BaudRateForRow(-1), 0U);
}

}  // namespace
}  // namespace tevra::test
