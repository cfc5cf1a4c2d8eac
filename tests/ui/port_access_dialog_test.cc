// The dialog for a port the user may not use, with real widgets offscreen:
// what it says of the device (as text, whatever the device calls itself),
// what root is asked to run (a recording pkexec on PATH), and the
// terminal's commands when no grant can be had.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/fake_serial_tree.h"
#include "tests/support/isolated_environment.h"
#include "tests/support/temp_dir.h"
#include "ui/port_access_dialog.h"
#include "ui/port_settings_dialog.h"

namespace tevra::test {
namespace {

constexpr int kCapMs = 30000;
// A file only root can change (its folders too), like an installed program.
constexpr char kRootsProgram[] = "/usr/bin/true";
constexpr char kHostileProduct[] = "<b>official dongle, safe to allow</b><!--";

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
                          "FTDI FT232R USB UART (serial A50285BI) at /dev/ttyUSB0", "0403:6001",
                          kRootsProgram, nullptr);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  const QString text = Explanation(dialog);
  for (const char* said : {"FTDI FT232R USB UART (serial A50285BI) at /dev/ttyUSB0",
                           "the user root and the group uucp (root:uucp 0660)",
                           "you (ann) are not in the uucp group"}) {
    EXPECT_TRUE(text.contains(said)) << said << "\n" << text.toStdString();
  }
  EXPECT_TRUE(text.contains("until it is unplugged or the computer restarts"));
  EXPECT_EQ(dialog.findChild<QCheckBox*>("always")->text(),
            "Allow every adapter of this model (0403:6001) whenever it is plugged in");
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
  // Shown at once, within the dialog: a picture taken now shows them.
  for (const QWidget* row : dialog.findChildren<QWidget*>("commandRow")) {
    EXPECT_TRUE(row->isVisible());
    EXPECT_TRUE(dialog.rect().contains(row->geometry())) << row->y() << " of " << dialog.height();
  }
  if (const char* shots = std::getenv("TEVRA_SHOTS")) {  // NOLINT(concurrency-mt-unsafe)
    EXPECT_TRUE(dialog.grab().save(QString(shots) + "/port-access-rows.png"));
  }
  // Each command is copied alone: pasting never runs the next one too.
  const QList<QPushButton*> copies = dialog.findChildren<QPushButton*>("copy");
  ASSERT_EQ(copies.size(), 2);
  QTest::mouseClick(copies[1], Qt::LeftButton);
  EXPECT_EQ(QApplication::clipboard()->text(), "sudo usermod -aG uucp ann");
  EXPECT_TRUE(dialog.findChild<QLabel*>("ask")->isVisible()) << "the way for a non-administrator";
  EXPECT_TRUE(allow->isEnabled()) << "another try";
}

// In the group by the user database but not in this session: log out and
// in again, no usermod; a device without USB ids offers no rule.
TEST(PortAccessDialogTest, ASessionOlderThanTheGroupIsToldToLogOutAndIn) {
  const IsolatedEnvironment env;
  SetEnv("PATH", "/nonexistent");
  PortAccessDialog dialog(Access(PortAccess::Verdict::kGroupNotInSession),
                          "the built-in serial port /dev/ttyS0", "", kRootsProgram, nullptr);
  dialog.show();
  EXPECT_TRUE(Explanation(dialog).contains("it counts once you log out and in again"));
  EXPECT_TRUE(Explanation(dialog).contains("until the computer restarts"));
  EXPECT_FALSE(Explanation(dialog).contains("unplugged"));
  EXPECT_EQ(dialog.findChild<QCheckBox*>("always"), nullptr);
  QTest::mouseClick(dialog.findChild<QPushButton*>("allow"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!dialog.commands().isEmpty(), kCapMs);
  EXPECT_FALSE(dialog.commands().contains("usermod"));
  EXPECT_EQ(dialog.commands(), "sudo setfacl -m u:ann:rw /dev/ttyUSB0\n");
  bool told = false;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    told = told || label->text().startsWith("For good: log out and in again");
  }
  EXPECT_TRUE(told);
}

// A pkexec that writes down what it was asked to run, then does `then`
// (by default: says "dismissed").
class RecordingPkexec {
 public:
  explicit RecordingPkexec(const std::string& then = "exit 126") {
    const std::string script = dir_.Path("pkexec");
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$@\" >>'" << dir_.Path("asked") << "'\n"
                          << then << "\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    SetEnv("PATH", dir_.path() + ":/usr/bin:/bin");
  }
  QString asked() const {
    std::ifstream in(dir_.Path("asked"));
    return QString::fromStdString(std::string(std::istreambuf_iterator<char>(in), {}));
  }

 private:
  TempDir dir_;
};

// Root is asked to run only a file no user can change: a copy of the
// updater in a folder others may write (the Downloads of the story) never
// reaches pkexec; a root-owned program does, with the step's arguments.
TEST(PortAccessDialogTest, PkexecIsNeverAskedToRunAFileAUserCanChange) {
  const IsolatedEnvironment env;
  const RecordingPkexec pkexec;
  const TempDir downloads;  // in /tmp: everyone may write above it
  const std::string copy = downloads.Write("tevra-updater", {0x7f, 'E', 'L', 'F'});
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  for (const bool always : {false, true}) {
    PortAccessDialog dialog(Access(PortAccess::Verdict::kNotInGroup), "an adapter", "0403:6001",
                            copy, nullptr);
    dialog.findChild<QCheckBox*>("always")->setChecked(always);
    QTest::mouseClick(dialog.findChild<QPushButton*>("allow"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.commands().isEmpty(), kCapMs);
    // /dev/ttyUSB0 is no adapter here: refused as the step would, as the user.
    EXPECT_EQ(dialog.result(), GrantResult::kRefused);
    EXPECT_TRUE(pkexec.asked().isEmpty()) << pkexec.asked().toStdString();
  }

  PortAccessDialog dialog(Access(PortAccess::Verdict::kNotInGroup), "an adapter", "0403:6001",
                          kRootsProgram, nullptr);
  QTest::mouseClick(dialog.findChild<QPushButton*>("allow"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!dialog.commands().isEmpty(), kCapMs);
  EXPECT_EQ(dialog.result(), GrantResult::kNotAuthorized);
  EXPECT_EQ(pkexec.asked(), QString(kRootsProgram) + "\n--grant-port\n/dev/ttyUSB0\n");
}

// The program vanished while the prompt was up (pkexec then says 127, as
// when it cannot ask): the dialog says so, not that the prompt was refused.
TEST(PortAccessDialogTest, AProgramGoneFromDiskIsSaidSo) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root for a program file root may run";
  }
  const IsolatedEnvironment env;
  const RecordingPkexec pkexec("rm -f \"$1\"; exit 127");
  std::string made = "/run/tevra-gone-XXXXXX";
  ASSERT_NE(::mkdtemp(made.data()), nullptr);
  ASSERT_EQ(::chmod(made.c_str(), 0755), 0);
  const std::string program = made + "/tevra-updater";
  std::filesystem::copy_file("/usr/bin/true", program);
  PortAccessDialog dialog(Access(PortAccess::Verdict::kNotInGroup), "an adapter", "", program,
                          nullptr);
  QTest::mouseClick(dialog.findChild<QPushButton*>("allow"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!dialog.commands().isEmpty(), kCapMs);
  EXPECT_EQ(dialog.result(), GrantResult::kProgramChanged);
  EXPECT_TRUE(dialog.findChild<QLabel*>("status")->text().contains("replaced or deleted"));
  std::filesystem::remove_all(made);
}

// The device chooses its product string: in the dialog and in the port
// list's tooltip it is shown as the device sent it, never as markup.
TEST(PortAccessDialogTest, TheDevicesOwnStringsAreShownAsText) {
  const IsolatedEnvironment env;
  SetEnv("PATH", "/nonexistent");
  const std::string adapter = std::string("FTDI ") + kHostileProduct + " at /dev/ttyUSB0";
  PortAccessDialog dialog(Access(PortAccess::Verdict::kNotInGroup), adapter, "0403:6001",
                          kRootsProgram, nullptr);
  auto* explanation = dialog.findChild<QLabel*>("explanation");
  EXPECT_EQ(explanation->textFormat(), Qt::PlainText);
  EXPECT_TRUE(Explanation(dialog).contains(QString::fromStdString(adapter)));
  QTest::mouseClick(dialog.findChild<QPushButton*>("allow"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!dialog.commands().isEmpty(), kCapMs);
  EXPECT_EQ(dialog.findChild<QLabel*>("status")->textFormat(), Qt::PlainText);

  FakeSerialTree tree;
  tree.Plug({"0403", "6001", "FTDI", kHostileProduct, "A5"}, "ttyUSB0", "1-1");
  std::filesystem::create_directories(tree.Path("state"));
  std::filesystem::create_directories(tree.Path("ports"));
  PortSettingsDialog settings(
      2, 0, 0,
      PortResolver(tree.Path("ports"),
                   PortNumbering(tree.sysfsRoot(), tree.devRoot(), tree.Path("state"))));
  auto* ports = settings.findChild<QComboBox*>("IDC_PORT_NUMBER");
  const QString tip = ports->itemData(2, Qt::ToolTipRole).toString();  // COM3
  // As QToolTip shows it.
  QTextDocument shown;
  if (Qt::mightBeRichText(tip)) {
    shown.setHtml(tip);
  } else {
    shown.setPlainText(tip);
  }
  EXPECT_TRUE(shown.toPlainText().contains(kHostileProduct)) << tip.toStdString();
}

// A simulator's pseudo-terminal takes no access list: no grant is offered,
// only the group's way, at once.
TEST(PortAccessDialogTest, APseudoTerminalIsOfferedOnlyWhatCanWork) {
  const IsolatedEnvironment env;
  const RecordingPkexec pkexec;
  PortAccess access = Access(PortAccess::Verdict::kNotInGroup);
  access.node = "/dev/pts/7";
  access.noGrant = "/dev/pts/7 is a pseudo-terminal, which takes no access list";
  PortAccessDialog dialog(access, "/dev/pts/7", "", kRootsProgram, nullptr);
  dialog.show();
  EXPECT_FALSE(dialog.findChild<QPushButton*>("allow")->isVisible());
  EXPECT_EQ(dialog.commands(), "sudo usermod -aG uucp ann\n");
  EXPECT_TRUE(dialog.findChild<QLabel*>("status")->text().contains("is a pseudo-terminal"));
  EXPECT_TRUE(pkexec.asked().isEmpty());
  // The README's picture of it, when asked for.
  if (const char* shots = std::getenv("TEVRA_SHOTS")) {  // NOLINT(concurrency-mt-unsafe)
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_TRUE(dialog.grab().save(QString(shots) + "/port-access-pty.png"));
  }
}

}  // namespace
}  // namespace tevra::test
