#include "ui/updater_dialog.h"

#include <QAction>
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
#include "res/app_icon.h"
#include "res/combo_lists.h"
#include "res/resource.h"
#include "res/string_table.h"
#include "ui/about_dialog.h"
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

// The fixed line format: 8 data bits, even parity, one stop bit.
constexpr std::uint8_t kByteSize = 8;
constexpr Parity kParityEven = Parity::kEven;
constexpr std::uint8_t kOneStopBit = 1;  // SerialPort::Open's code

constexpr int kProgressMin = 1;
constexpr int kProgressMax = 100;

constexpr char kLogNoOpenCom[] = "No Open Com!";
constexpr const char* kLogOpenFileFailure = DownloadSequencer::kLogOpenFileFailure;

// One received record with its terminating zero.
constexpr std::size_t kReceiveBufferSize = 1024;

constexpr char kProgramName[] = "tevra-updater";

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
  m_serial.Close();
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

bool UpdaterDialog::Post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  // Qt takes the event over and delivers it on this window's thread.
  QCoreApplication::postEvent(this,
                              std::make_unique<SerialNotifyEvent>(msg, wParam, lParam).release());
  return true;
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
    m_serial.Close();
    SetPortOpen(false);
  }
  if (settings.exec() != QDialog::Accepted) {
    return;
  }
  m_portIndex = settings.portIndex();
  m_baudIndex = settings.baudIndex();
  const std::uint32_t rate = res::BaudRateForRow(m_baudIndex);

  SetPortOpen(false);
  const auto portNumber = static_cast<std::uint8_t>(m_portIndex + 1);
  if (m_serial.Open(this, WM_SERIAL_NOTIFY, portNumber, rate, kByteSize, kParityEven,
                    kOneStopBit)) {
    AppendLog(kLogComOpened);
    SetPortOpen(true);
  } else {
    AppendLog(kLogComNotOpened);
  }
}

// The sequencer sends only while the port is open: it learns every change.
void UpdaterDialog::SetPortOpen(bool open) {
  m_portOpen = open;
  if (open) {
    m_sequencer.OnPortOpened();
  } else {
    m_sequencer.OnPortClosed();
  }
}

void UpdaterDialog::OnComClose() {
  m_serial.Close();
  SetPortOpen(false);
  AppendLog(kLogComClosed);
  AbandonDownload();
}

void UpdaterDialog::OnDownload() {
  if (!m_portOpen) {
    AppendLog(kLogNoOpenCom);
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
    (void)std::fprintf(stderr, "%s: %s\n", kProgramName, problem.c_str());
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
    (void)std::fprintf(stderr, "%s: no payload could be extracted from %s: %s\n", kProgramName,
                       source.c_str(), extracted.problem.c_str());
    AppendLog(kLogOpenFileFailure);
    return;
  }
  auto payload = std::make_unique<FdPayloadSource>(std::move(extracted.payload), payloadPath);
  const std::int64_t length = payload->Size();
  if (length < 0) {
    (void)std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgramName, payloadPath.c_str(),
                       FailureCause(errno));
    AppendLog(kLogOpenFileFailure);
    return;
  }
  m_sequencer.StartDownload(std::move(payload), static_cast<std::uint64_t>(length));
}

void UpdaterDialog::AbandonDownload() {
  m_sequencer.AbandonDownload();
}

long UpdaterDialog::OnSerialNotify(std::uintptr_t wParam, std::intptr_t /*lParam*/) {
  if (wParam != 0) {
    return 0;
  }
  std::array<std::uint8_t, kReceiveBufferSize> record{};
  std::uint32_t size = kReceiveBufferSize;
  if (!m_serial.Receive(record.data(), size)) {
    return 0;
  }
  m_sequencer.OnRecord(record.data(), size);
  return 0;
}

void UpdaterDialog::OnTimer(int id) {
  m_sequencer.OnTimer(id);
}

void UpdaterDialog::Send(const std::uint8_t* bytes, std::uint32_t len) {
  m_serial.Send(bytes, len);
}

void UpdaterDialog::Log(std::string_view sentence) {
  AppendLog(QString::fromUtf8(sentence.data(), static_cast<qsizetype>(sentence.size())));
}

void UpdaterDialog::Diagnostic(const std::string& line) {
  (void)std::fprintf(stderr, "%s: %s\n", kProgramName, line.c_str());
}

void UpdaterDialog::Progress(int percent) {
  SetProgressPos(percent);
}

void UpdaterDialog::DownloadEnded(bool /*finished*/) {
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
