#include "ui/updater_dialog.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "payload/payload_paths.h"
#include "platform/port_access.h"
#include "platform/port_resolver.h"
#include "res/app_icon.h"
#include "res/resource.h"
#include "res/string_table.h"
#include "ui/about_dialog.h"
#include "ui/port_access_dialog.h"
#include "ui/port_settings_dialog.h"
#include "ui/serial_notify_event.h"

namespace tevra {

namespace {

using res::IDC_DOWNLOAD;
using res::IDC_LOG;
using res::IDC_PROGRESS;
using res::IDC_READER_TYPE;

constexpr int kProgressMin = 1;
constexpr int kProgressMax = 100;

// "FTDI FT232R USB UART (serial A50285BI) at /dev/ttyUSB0", as a person
// knows the adapter.
std::string AdapterName(const std::optional<SerialDevice>& adapter, const std::string& node) {
  if (!adapter) {
    return "the device " + node;
  }
  if (adapter->builtIn) {
    return "the built-in serial port " + node;
  }
  std::string name = adapter->manufacturer;
  if (!adapter->product.empty()) {
    name += (name.empty() ? "" : " ") + adapter->product;
  }
  if (name.empty()) {
    name = "the USB adapter " + adapter->vendorId + ":" + adapter->productId;
  }
  if (!adapter->serial.empty()) {
    name += " (serial " + adapter->serial + ")";
  }
  return name + " at " + node;
}

}  // namespace

UpdaterDialog::UpdaterDialog(QWidget* parent)
    : QDialog(parent),
      m_controls(*this, res::UpdaterDialogTemplate()),
      m_hIcon(res::LoadAppIcon()),
      m_systemMenu(this),
      m_downloadButton(m_controls.Get<QPushButton>(IDC_DOWNLOAD)),
      m_progress(m_controls.Get<QProgressBar>(IDC_PROGRESS)) {
  ConnectMessageMap();
  OnInitDialog();
}

UpdaterDialog::~UpdaterDialog() = default;

void UpdaterDialog::ConnectMessageMap() {
  const auto onClick = [this](int id, void (UpdaterWindowLogic::*handler)()) {
    connect(m_controls.Get<QPushButton>(id), &QPushButton::clicked, this,
            [this, handler] { (m_logic.*handler)(); });
  };
  onClick(res::IDC_COM_CLOSE, &UpdaterWindowLogic::OnComClose);
  onClick(IDC_DOWNLOAD, &UpdaterWindowLogic::OnDownload);
  onClick(res::IDC_COM_SETTINGS, &UpdaterWindowLogic::OnComSettings);
  onClick(res::IDC_CONNECT_READER, &UpdaterWindowLogic::OnConnectReader);
  // IDC_RESET has no handler.
  for (const int id : {UpdaterWindowLogic::TIMER_PROGRESS, UpdaterWindowLogic::TIMER_ERASE_RETRY,
                       UpdaterWindowLogic::TIMER_WATCH}) {
    connect(&TimerFor(id), &QTimer::timeout, this, [this, id] { m_logic.OnTimer(id); });
  }
  m_watchTimer.setSingleShot(true);
  connect(&m_systemMenu, &QMenu::triggered, this,
          [this](QAction* action) { m_logic.OnSysCommand(action->data().toUInt()); });
  // WM_SERIAL_NOTIFY arrives through event().
}

void UpdaterDialog::OnInitDialog() {
  const std::string_view about = res::LoadResString(res::IDS_ABOUTBOX);
  if (!about.empty()) {
    m_systemMenu.addSeparator();
    QAction* entry = m_systemMenu.addAction(
        QString::fromUtf8(about.data(), static_cast<qsizetype>(about.size())));
    entry->setData(res::IDM_ABOUTBOX);
  }
  setWindowIcon(m_hIcon);
  m_logic.OnInitDialog();
  m_controls.Get<QComboBox>(IDC_READER_TYPE)->setCurrentIndex(0);
  m_progress->setRange(kProgressMin, kProgressMax);
  m_controls.Find(IDC_LOG)->setFocus();
}

void UpdaterDialog::Wake(std::uintptr_t wParam, std::intptr_t lParam) {
  // Qt takes the event over and delivers it on this window's thread.
  QCoreApplication::postEvent(
      this, std::make_unique<SerialNotifyEvent>(WM_SERIAL_NOTIFY, wParam, lParam).release());
}

bool UpdaterDialog::event(QEvent* e) {
  if (e->type() == SerialNotifyEvent::kType) {
    const auto* notify = static_cast<const SerialNotifyEvent*>(e);
    if (notify->msg() == WM_SERIAL_NOTIFY) {
      m_logic.OnSerialNotify(notify->wParam(), notify->lParam());
    }
    return true;
  }
  return QDialog::event(e);
}

void UpdaterDialog::contextMenuEvent(QContextMenuEvent* e) {
  if (!m_systemMenu.isEmpty()) {
    m_systemMenu.exec(e->globalPos());
  }
  e->accept();
}

void UpdaterDialog::keyPressEvent(QKeyEvent* e) {
  // Enter that no control took is the dialog's OK: it ends the window, as
  // Escape does. The window has no default button to press instead.
  const bool enter = e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
  if (enter && (e->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    accept();
    return;
  }
  QDialog::keyPressEvent(e);
}

void UpdaterDialog::ShowAbout() {
  AboutDialog about(this);
  about.exec();
}

void UpdaterDialog::PrependLog(std::string_view line) {
  // The log's lines end in "\n", the editor's own line break, where the
  // platform's edit control used "\r\n": one line per entry either way.
  auto* log = m_controls.Get<QPlainTextEdit>(IDC_LOG);
  log->setPlainText(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())) +
                    QLatin1Char('\n') + log->toPlainText());
}

void UpdaterDialog::EnableDownload(bool enabled) {
  m_downloadButton->setEnabled(enabled);
}

std::optional<UpdaterWindowView::PortChoice> UpdaterDialog::AskPortSettings(int portIndex,
                                                                            int baudIndex,
                                                                            int portState) {
  PortSettingsDialog settings(portIndex, baudIndex, portState, this);
  if (settings.exec() != QDialog::Accepted) {
    return std::nullopt;
  }
  return PortChoice{settings.portIndex(), settings.baudIndex()};
}

bool UpdaterDialog::OfferPortAccess(std::uint8_t portNumber) {
  PortResolver ports = PortResolver::ForThisUser();
  const PortResolver::Resolved resolved =
      ports.Resolve("COM" + std::to_string(static_cast<int>(portNumber)));
  if (resolved.path.empty()) {
    return false;
  }
  const PortAccess access = ExaminePortAccess(resolved.path);
  if (access.verdict == PortAccess::Verdict::kAllowed ||
      access.verdict == PortAccess::Verdict::kMissing) {
    return false;
  }
  const std::optional<SerialDevice> adapter = ports.Find(access.node);
  const std::string program = m_grantProgram.empty() ? SelfExecutablePath() : m_grantProgram;
  const std::string model = adapter.has_value() && !adapter->vendorId.empty()
                                ? adapter->vendorId + ":" + adapter->productId
                                : std::string();
  PortAccessDialog dialog(access, AdapterName(adapter, access.node), model, program, this);
  return dialog.exec() == QDialog::Accepted;
}

void UpdaterDialog::StopForSignal() {
  m_logic.ClosePortForExit();
  // An open menu runs a loop of its own that would keep the window up.
  while (QWidget* popup = QApplication::activePopupWidget()) {
    if (!popup->close()) {
      break;
    }
  }
  // A settings dialog still open must not get to open the port again.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog != nullptr && dialog != this) {
      dialog->reject();
    }
  }
  done(QDialog::Rejected);
}

// Like the native bar, a position outside the range shows the nearest end;
// Qt would ignore it and keep the old position instead.
void UpdaterDialog::SetProgressPos(int pos) {
  if (pos < m_progress->minimum()) {
    m_progress->reset();
  } else {
    m_progress->setValue(std::min(pos, m_progress->maximum()));
  }
}

QTimer& UpdaterDialog::TimerFor(int id) {
  if (id == UpdaterWindowLogic::TIMER_WATCH) {
    return m_watchTimer;
  }
  return id == UpdaterWindowLogic::TIMER_PROGRESS ? m_progressTimer : m_eraseRetryTimer;
}

// Starting a running timer restarts it.
void UpdaterDialog::SetTimer(int id, std::chrono::milliseconds period) {
  TimerFor(id).start(period);
}

void UpdaterDialog::KillTimer(int id) {
  TimerFor(id).stop();
}

}  // namespace tevra
