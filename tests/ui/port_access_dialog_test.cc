// The dialog for a port the user may not use, with real widgets offscreen:
// what it says of the device, and the terminal's commands when no grant
// can be had (no pkexec on PATH).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "tests/support/isolated_environment.h"
#include "ui/port_access_dialog.h"

namespace tevra::test {
namespace {

constexpr int kCapMs = 30000;

PortAccess Access(PortAccess::Verdict verdict) {
  PortAccess access;
  access.verdict = verdict;
  access.node = "/dev/ttyUSB0";
  access.owner = "root";
  access.group = "uucp";  // never a hard-coded dialout
  access.mode = 0660;
  access.user = "ann";
  access.uid = 1000;
  return access;
}

QString Explanation(const PortAccessDialog& dialog) {
  return dialog.findChild<QLabel*>("explanation")->text();
}

TEST(PortAccessDialogTest, WithoutPkexecShowsTheCommandsAndStaysOpen) {
  const IsolatedEnvironment env;
  SetEnv("PATH", "/nonexistent");
  PortAccessDialog dialog(Access(PortAccess::Verdict::kNotInGroup),
                          "FTDI FT232R USB UART (serial A50285BI) at /dev/ttyUSB0", true,
                          "/opt/tevra-updater", nullptr);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  const QString text = Explanation(dialog);
  for (const char* said : {"FTDI FT232R USB UART (serial A50285BI) at /dev/ttyUSB0",
                           "the user root and the group uucp (root:uucp 0660)",
                           "you (ann) are not in the uucp group"}) {
    EXPECT_TRUE(text.contains(said)) << said << "\n" << text.toStdString();
  }
  auto* allow = dialog.findChild<QPushButton*>("allow");
  ASSERT_NE(dialog.findChild<QCheckBox*>("always"), nullptr);
  EXPECT_TRUE(allow->isDefault());
  EXPECT_TRUE(dialog.commands().isEmpty());
  EXPECT_EQ(dialog.findChild<QPushButton*>("copy"), nullptr) << "nothing to copy yet";

  QTest::mouseClick(allow, Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!dialog.commands().isEmpty(), kCapMs);
  EXPECT_EQ(dialog.result(), GrantResult::kNoPkexec);
  EXPECT_TRUE(dialog.isVisible());
  const QString commands = dialog.commands();
  EXPECT_TRUE(commands.contains("sudo setfacl -m u:ann:rw /dev/ttyUSB0")) << commands.toStdString();
  EXPECT_TRUE(commands.contains("sudo usermod -aG uucp ann")) << commands.toStdString();
  auto* explanation = dialog.findChild<QLabel*>("explanation");
  QTRY_VERIFY_WITH_TIMEOUT(
      explanation->height() >= explanation->heightForWidth(explanation->width()),
      kCapMs);  // the commands' room squeezes nothing
  QTest::mouseClick(dialog.findChild<QPushButton*>("copy"), Qt::LeftButton);
  EXPECT_EQ(QApplication::clipboard()->text(), commands);
  EXPECT_TRUE(allow->isEnabled()) << "another try";
}

// In the group by the user database but not in this session: log out and
// in again, no usermod; a device without USB ids offers no rule.
TEST(PortAccessDialogTest, ASessionOlderThanTheGroupIsToldToLogOutAndIn) {
  const IsolatedEnvironment env;
  SetEnv("PATH", "/nonexistent");
  PortAccessDialog dialog(Access(PortAccess::Verdict::kGroupNotInSession),
                          "the built-in serial port /dev/ttyS0", false, "/opt/tevra-updater",
                          nullptr);
  dialog.show();
  EXPECT_TRUE(Explanation(dialog).contains("it counts once you log out and in again"));
  EXPECT_EQ(dialog.findChild<QCheckBox*>("always"), nullptr);
  QTest::mouseClick(dialog.findChild<QPushButton*>("allow"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!dialog.commands().isEmpty(), kCapMs);
  EXPECT_FALSE(dialog.commands().contains("usermod"));
  EXPECT_TRUE(dialog.commands().contains("log out and in again"));
}

}  // namespace
}  // namespace tevra::test
