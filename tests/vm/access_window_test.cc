// The window of a user who may not use the adapter (tests/vm/access.sh runs
// it as uid 1000, not in the node's group, with polkit answering yes for
// the cases named Granted and no for those named Refused): Open Com fails,
// the dialog says why, and "Allow access" either grants the port through
// the real pkexec and the download goes on, or shows the commands.
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <string>

#include "res/resource.h"
#include "tests/support/bytes.h"
#include "tests/support/isolated_environment.h"
#include "tests/ui/window_driver.h"
#include "ui/port_access_dialog.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;

// The guest is emulated, on a machine others share: many times slower than
// the host at worst. Caps only a failure reaches.
constexpr std::chrono::seconds kGuestCap{180};
constexpr int kCom3Row = 2;
constexpr int kRow9600 = 6;
constexpr char kNode[] = "/dev/ttyUSB0";
constexpr QLatin1String kOpened{"Com has opened already!"};
constexpr QLatin1String kNotOpened{"Com has not opened!"};
constexpr QLatin1String kFinished{"File download finish!"};

std::string Env(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): no thread sets it
  return value != nullptr ? value : "";
}

// The node's ACL as the kernel holds it; empty when it has none.
std::string Acl() {
  std::string value(256, '\0');
  const ssize_t n = ::getxattr(kNode, "system.posix_acl_access", value.data(), value.size());
  return n > 0 ? value.substr(0, static_cast<std::size_t>(n)) : std::string();
}

class AccessWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(::getuid(), 0U) << "run as the desk's user (tests/vm/access.sh)";
    ASSERT_FALSE(Env("TEVRA_VM_UPDATER").empty()) << "not run by tests/vm/access.sh";
    ASSERT_NE(::access(kNode, R_OK | W_OK), 0) << "the user may use the adapter already";
    // COM3 is a link, as a user may have made: the grant is for its node.
    ASSERT_EQ(::symlink(kNode, (m_env.portsDir() + "/COM3").c_str()), 0);
    m_window.SetGrantProgram(Env("TEVRA_VM_UPDATER"));
  }

  // Open Com on COM3, with `inDialog` run once the access dialog is up.
  QString OpenCom(const std::function<void(PortAccessDialog&)>& inDialog) {
    QTimer poll;
    poll.setInterval(10ms);
    bool seen = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<PortAccessDialog*>(widget);
        if (dialog != nullptr && dialog->isVisible()) {
          poll.stop();
          seen = true;
          inDialog(*dialog);
          return;
        }
      }
    });
    poll.start();
    QString top = m_driver.OpenPort(kCom3Row, kRow9600);
    EXPECT_TRUE(seen) << "no access dialog";
    return top;
  }

  static void Shoot(QWidget& widget, const char* name) {
    const std::string dir = Env("TEVRA_VM_SHOTS");
    if (!dir.empty()) {
      EXPECT_TRUE(widget.grab().save(QString::fromStdString(dir + "/" + name)));
    }
  }

  IsolatedEnvironment m_env;
  UpdaterDialog m_window;
  WindowDriver m_driver{m_window};
};

TEST_F(AccessWindowTest, GrantedOpensThePortAndTheDownloadGoesOn) {
  const std::string aclBefore = Acl();
  const QString top = OpenCom([](PortAccessDialog& dialog) {
    const QString text = dialog.findChild<QLabel*>("explanation")->text();
    EXPECT_TRUE(text.contains("at /dev/ttyUSB0")) << text.toStdString();
    EXPECT_TRUE(text.contains("(root:dialout 0660)")) << text.toStdString();
    EXPECT_NE(dialog.findChild<QCheckBox*>("always"), nullptr) << "an FTDI adapter has USB ids";
    Shoot(dialog, "port-access.png");
    QTest::mouseClick(dialog.findChild<QPushButton*>("allow"), Qt::LeftButton);
  });
  ASSERT_EQ(top, kOpened) << m_driver.LogLines().join(" | ").toStdString();
  EXPECT_EQ(m_driver.LogLines().value(1), kNotOpened) << "the failed open is logged first";
  EXPECT_NE(Acl(), aclBefore) << "no ACL entry was added";

  const Bytes payload = RandomBytes(2048, 21);
  std::string error;
  const std::string updater = WindowDriver::BundledUpdater(m_env, payload, error);
  ASSERT_FALSE(updater.empty()) << error;
  m_window.SetPayloadSource(updater);
  m_driver.Click(res::IDC_DOWNLOAD);
  EXPECT_TRUE(WindowDriver::WaitFor([&] { return m_driver.CountLines(kFinished) == 1; }, 300s));
  const std::string image = Env("TEVRA_VM_DEVICE_END") + ".img";
  EXPECT_TRUE(WindowDriver::WaitFor([&] { return ReadFile(image) == payload; }, kGuestCap))
      << "the device's image differs from the payload";
}

TEST_F(AccessWindowTest, RefusedShowsTheCommandsAndChangesNothing) {
  const std::string aclBefore = Acl();
  const QString top = OpenCom([](PortAccessDialog& dialog) {
    QTest::mouseClick(dialog.findChild<QPushButton*>("allow"), Qt::LeftButton);
    ASSERT_TRUE(WindowDriver::WaitFor([&] { return !dialog.commands().isEmpty(); }, kGuestCap));
    EXPECT_EQ(dialog.result(), GrantResult::kNotAuthorized);
    const QString commands = dialog.commands();
    EXPECT_TRUE(commands.contains(QString("setfacl -m u:%1:rw /dev/ttyUSB0")
                                      .arg(QString::fromStdString(ExaminePortAccess(kNode).user))))
        << commands.toStdString();
    EXPECT_TRUE(commands.contains("usermod -aG dialout")) << commands.toStdString();
    Shoot(dialog, "port-access-commands.png");
    QTest::mouseClick(dialog.findChild<QPushButton*>("cancel"), Qt::LeftButton);
  });
  EXPECT_EQ(top, kNotOpened);
  EXPECT_FALSE(m_window.portOpen());
  EXPECT_EQ(Acl(), aclBefore) << "the node changed";
}

}  // namespace
}  // namespace tevra::test
