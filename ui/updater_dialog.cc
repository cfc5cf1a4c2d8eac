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
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "download/fd_payload_source.h"
#include "payload/extract_payload.h"
#include "payload/payload_paths.h"
#include "platform/diagnostics.h"
#include "platform/port_access.h"
#include "platform/port_resolver.h"
#include "res/app_icon.h"
#include "res/combo_lists.h"
#include "res/resource.h"
#include "res/string_table.h"
#include "ui/about_dialog.h"
#include "ui/port_access_dialog.h"
#include "ui/port_settings_dialog.h"
#include "ui/serial_notify_event.h"

namespace tevra {

namespace {

using res::IDC_COM_CLOSE;
using res::IDC_COM_SETTINGS;
using res::IDC_CONNECT_READER;
using res::IDC_DOWNLOAD;
using res::IDC_LOG;
using res::IDC_PROGRESS;
using res::IDC_READER_TYPE;

// The log's sentences.
constexpr char kLogComOpened[] = "Com has opened already!";
constexpr char kLogComNotOpened[] = "Com has not opened!";
constexpr char kLogComClosed[] = "Success to Close Com!";
constexpr char kLogNoConnect[] = "Do without connect in com mode.";

// Port defaults: COM3 at 9600 baud.
constexpr int kDefaultPortIndex = 2;
constexpr int kDefaultBaudIndex = 6;
constexpr int kDefaultPortState = 0;

constexpr int kProgressMin = 1;
constexpr int kProgressMax = 100;

constexpr const char* kLogOpenFileFailure = DownloadSequencer::kLogOpenFileFailure;

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

const char* FailureCause(int error) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): only the window's thread reports
  return error != 0 ? std::strerror(error) : "unknown cause";
}

}  // namespace

UpdaterDialog::UpdaterDialog(QWidget* parent)
    : QDialog(parent),
      m_controls(*this, res::UpdaterDialogTemplate()),
      m_hIcon(res::LoadAppIcon()),
      m_systemMenu(this),
      m_downloadButton(m_controls.Get<QPushButton>(IDC_DOWNLOAD)),
      m_readerTypeCombo(m_controls.Get<QComboBox>(IDC_READER_TYPE)),
      m_progress(m_controls.Get<QProgressBar>(IDC_PROGRESS)) {
  ConnectMessageMap();
  OnInitDialog();
}

// The workers post to this window: stop them before anything goes away.
UpdaterDialog::~UpdaterDialog() {
  m_session.ClosePort();
}

void UpdaterDialog::ConnectMessageMap() {
  const auto onClick = [this](int id, void (UpdaterDialog::*handler)()) {
    connect(m_controls.Get<QPushButton>(id), &QPushButton::clicked, this, handler);
  };
  onClick(IDC_COM_CLOSE, &UpdaterDialog::OnComClose);
  onClick(IDC_DOWNLOAD, &UpdaterDialog::OnDownload);
  onClick(IDC_COM_SETTINGS, &UpdaterDialog::OnComSettings);
  onClick(IDC_CONNECT_READER, &UpdaterDialog::OnConnectReader);
  // IDC_RESET has no handler.
  connect(&m_progressTimer, &QTimer::timeout, this, [this] { OnTimer(TIMER_PROGRESS); });
  connect(&m_eraseRetryTimer, &QTimer::timeout, this, [this] { OnTimer(TIMER_ERASE_RETRY); });
  m_watchTimer.setSingleShot(true);
  connect(&m_watchTimer, &QTimer::timeout, this,
          [this] { m_session.OnTimer(DownloadSession::TIMER_WATCH); });
  connect(&m_systemMenu, &QMenu::triggered, this,
          [this](QAction* action) { OnSysCommand(action->data().toUInt()); });
  // WM_SERIAL_NOTIFY arrives through event().
}

bool UpdaterDialog::OnInitDialog() {
  const std::string_view about = res::LoadResString(res::IDS_ABOUTBOX);
  if (!about.empty()) {
    m_systemMenu.addSeparator();
    QAction* entry = m_systemMenu.addAction(
        QString::fromUtf8(about.data(), static_cast<qsizetype>(about.size())));
    entry->setData(res::IDM_ABOUTBOX);
  }
  setWindowIcon(m_hIcon);

  m_portIndex = kDefaultPortIndex;
  m_portState = kDefaultPortState;
  m_baudIndex = kDefaultBaudIndex;
  m_portOpen = false;

  m_readerTypeCombo->setCurrentIndex(0);
  m_progress->setRange(kProgressMin, kProgressMax);

  m_controls.Find(IDC_LOG)->setFocus();
  return true;
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
      OnSerialNotify(notify->wParam(), notify->lParam());
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

void UpdaterDialog::OnSysCommand(unsigned id) {
  if ((id & res::kSysCommandMask) == res::IDM_ABOUTBOX) {
    AboutDialog about(this);
    about.exec();
  }
}

void UpdaterDialog::AppendLog(const QString& text) {
  // The log's lines end in "\n", the editor's own line break, where the
  // platform's edit control used "\r\n": one line per entry either way.
  auto* log = m_controls.Get<QPlainTextEdit>(IDC_LOG);
  log->setPlainText(text + QLatin1Char('\n') + log->toPlainText());
}

void UpdaterDialog::OnConnectReader() {
  AppendLog(kLogNoConnect);
}

void UpdaterDialog::OnComSettings() {
  PortSettingsDialog settings(m_portIndex, m_baudIndex, m_portState, this);
  if (m_portOpen) {
    m_session.ClosePort();
    m_portOpen = false;
  }
  if (settings.exec() != QDialog::Accepted) {
    return;
  }
  m_portIndex = settings.portIndex();
  m_baudIndex = settings.baudIndex();
  const std::uint32_t rate = res::BaudRateForRow(m_baudIndex);

  m_portOpen = false;
  const auto portNumber = static_cast<std::uint8_t>(m_portIndex + 1);
  errno = 0;
  if (!OpenCom(portNumber, rate) && (errno == EACCES || errno == EPERM)) {
    OfferPortAccess(portNumber, rate);
  }
}

bool UpdaterDialog::OpenCom(std::uint8_t portNumber, std::uint32_t rate) {
  // 8 data bits, even parity, one stop bit.
  if (m_session.OpenPort(portNumber, rate)) {
    AppendLog(kLogComOpened);
    m_portOpen = true;
    return true;
  }
  const int error = errno;
  AppendLog(kLogComNotOpened);
  errno = error;
  return false;
}

void UpdaterDialog::OfferPortAccess(std::uint8_t portNumber, std::uint32_t rate) {
  PortResolver ports = PortResolver::ForThisUser();
  const PortResolver::Resolved resolved =
      ports.Resolve("COM" + std::to_string(static_cast<int>(portNumber)));
  if (resolved.path.empty()) {
    return;
  }
  const PortAccess access = ExaminePortAccess(resolved.path);
  if (access.verdict == PortAccess::Verdict::kAllowed ||
      access.verdict == PortAccess::Verdict::kMissing) {
    return;
  }
  const std::optional<SerialDevice> adapter = ports.Find(access.node);
  const std::string program = m_grantProgram.empty() ? SelfExecutablePath() : m_grantProgram;
  const std::string model = adapter.has_value() && !adapter->vendorId.empty()
                                ? adapter->vendorId + ":" + adapter->productId
                                : std::string();
  PortAccessDialog dialog(access, AdapterName(adapter, access.node), model, program, this);
  if (dialog.exec() == QDialog::Accepted && !m_portOpen) {
    OpenCom(portNumber, rate);
  }
}

void UpdaterDialog::OnComClose() {
  m_session.ClosePort();
  m_portOpen = false;
  AppendLog(kLogComClosed);
  AbandonDownload();
}

void UpdaterDialog::StopForSignal() {
  m_session.ClosePort();
  m_portOpen = false;
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

void UpdaterDialog::OnDownload() {
  if (!m_portOpen) {
    AppendLog(DownloadSequencer::kLogNoOpenCom);
    return;
  }
  StartDownload();
}

void UpdaterDialog::StartDownload() {
  m_downloadButton->setEnabled(false);

  errno = 0;
  const std::string source = m_payloadSource.empty() ? SelfExecutablePath() : m_payloadSource;
  std::string problem;
  const std::string directory = source.empty() ? std::string() : PayloadDirectory(&problem);
  if (directory.empty()) {
    if (source.empty()) {
      problem = std::string("the updater's own file is unknown: ") + FailureCause(errno);
    }
    Diagnose(problem);
    AppendLog(kLogOpenFileFailure);
    return;
  }
  const std::string imagePath = directory + '/' + kImageFileName;
  const std::string payloadPath = directory + '/' + kPayloadFileName;

  // A failed extraction leaves no payload to trust (an empty file, or one
  // left by an earlier run): it fails like a payload file that won't open.
  // The payload is read through the descriptor the extraction wrote it
  // with: whatever appears at its path later is never sent.
  ExtractedPayload extracted =
      ExtractPayloadForSending(source.c_str(), imagePath.c_str(), payloadPath.c_str());
  if (!extracted.ok()) {
    Diagnose("no payload could be extracted from " + Printable(source) + ": " + extracted.problem);
    AppendLog(kLogOpenFileFailure);
    return;
  }
  auto payload = std::make_unique<FdPayloadSource>(std::move(extracted.payload), payloadPath);
  const std::int64_t length = payload->Size();
  if (length < 0) {
    Diagnose("cannot read " + Printable(payloadPath) + ": " + FailureCause(errno));
    AppendLog(kLogOpenFileFailure);
    return;
  }
  m_session.StartDownload(std::move(payload), static_cast<std::uint64_t>(length));
}

void UpdaterDialog::AbandonDownload() {
  m_session.AbandonDownload();
}

// The session takes every record waiting, so a notice whose record an
// earlier one already took finds nothing.
long UpdaterDialog::OnSerialNotify(std::uintptr_t wParam, std::intptr_t /*lParam*/) {
  if (NoticeOf(wParam) != SerialNotice::kWriteCompleted) {
    m_session.OnNotified();
  }
  return 0;
}

void UpdaterDialog::OnTimer(int id) {
  m_session.OnTimer(id);
}

void UpdaterDialog::Log(std::string_view sentence) {
  AppendLog(QString::fromUtf8(sentence.data(), static_cast<qsizetype>(sentence.size())));
}

void UpdaterDialog::Diagnostic(const std::string& line) {
  Diagnose(line);
}

void UpdaterDialog::Progress(int percent) {
  SetProgressPos(percent);
}

// The log keeps its own sentences: a failure's cause goes to stderr.
void UpdaterDialog::Ended(DownloadSession::Outcome /*outcome*/, const std::string& cause) {
  if (!cause.empty()) {
    Diagnose(cause);
  }
  m_downloadButton->setEnabled(true);
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
  if (id == DownloadSession::TIMER_WATCH) {
    return m_watchTimer;
  }
  return id == TIMER_PROGRESS ? m_progressTimer : m_eraseRetryTimer;
}

// Starting a running timer restarts it.
void UpdaterDialog::SetTimer(int id, std::chrono::milliseconds period) {
  TimerFor(id).start(period);
}

void UpdaterDialog::KillTimer(int id) {
  TimerFor(id).stop();
}

bool UpdaterDialog::timerActive(int id) const {
  return (id == TIMER_PROGRESS ? m_progressTimer : m_eraseRetryTimer).isActive();
}

}  // namespace tevra
