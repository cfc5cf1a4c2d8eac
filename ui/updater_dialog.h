#pragma once

#include <QDialog>
#include <QIcon>
#include <QMenu>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "download/download_session.h"
#include "ui/dialog_controls.h"

class QComboBox;
class QContextMenuEvent;
class QKeyEvent;
class QProgressBar;
class QPushButton;

namespace tevra {

// The updater's main window: opens and closes the serial port, streams the
// payload carried by the updater's own file to the device through the
// download session, and keeps the log. Everything runs on the window's
// thread; the serial workers reach it only through posted events.
class UpdaterDialog : public QDialog, private DownloadSession::Frontend {
  Q_OBJECT

 public:
  static constexpr int TIMER_PROGRESS = DownloadSession::TIMER_PROGRESS;
  static constexpr int TIMER_ERASE_RETRY = DownloadSession::TIMER_ERASE_RETRY;

  explicit UpdaterDialog(QWidget* parent = nullptr);
  UpdaterDialog(const UpdaterDialog&) = delete;
  UpdaterDialog& operator=(const UpdaterDialog&) = delete;
  ~UpdaterDialog() override;

  // Prepends one line to the log (the newest line is on top).
  void AppendLog(const QString& text);

  // The file that carries the payload; the updater's own file unless set
  // (a test or benchmark program carries none).
  void SetPayloadSource(std::string path) { m_payloadSource = std::move(path); }
  // The program pkexec runs to grant access to a port; the updater's own
  // file unless set (a test program is not the updater).
  void SetGrantProgram(std::string path) { m_grantProgram = std::move(path); }

  // Read-only views of the state, for tests and tools.
  int portIndex() const { return m_portIndex; }
  int baudIndex() const { return m_baudIndex; }
  bool portOpen() const { return m_portOpen; }
  bool downloading() const { return m_session.sequencer().downloading(); }
  bool erased() const { return m_session.sequencer().erased(); }
  std::uint32_t totalBytes() const { return m_session.sequencer().totalBytes(); }
  std::uint32_t remainingBytes() const { return m_session.sequencer().remainingBytes(); }

  // Closes the port, putting back the line settings it found, and closes
  // the window and any dialog over it: a stop signal or a desktop logout.
  void StopForSignal();
  bool timerActive(int id) const;
  const DialogControls& controls() const { return m_controls; }

 protected:
  bool event(QEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void ConnectMessageMap();
  bool OnInitDialog();

  void OnSysCommand(unsigned id);
  void OnComSettings();
  void OnComClose();
  // Opens COM<portNumber>, logging as Open Com does; false when it did not.
  bool OpenCom(std::uint8_t portNumber, std::uint32_t rate);
  // After a port that would not open for want of permission: offers to
  // grant it, and opens it again once granted.
  void OfferPortAccess(std::uint8_t portNumber, std::uint32_t rate);

  void OnConnectReader();
  void OnDownload();
  long OnSerialNotify(std::uintptr_t wParam, std::intptr_t lParam);
  void OnTimer(int id);

  void StartDownload();
  void AbandonDownload();

  // DownloadSession::Frontend: the session's requests, on the window's
  // thread (Wake on any).
  void Wake(std::uintptr_t wParam, std::intptr_t lParam) override;
  void Log(std::string_view sentence) override;
  void Diagnostic(const std::string& line) override;
  void Progress(int percent) override;
  void SetTimer(int id, std::chrono::milliseconds period) override;
  void KillTimer(int id) override;
  void Ended(DownloadSession::Outcome outcome, const std::string& cause) override;
  QTimer& TimerFor(int id);
  void SetProgressPos(int pos);

  DialogControls m_controls;
  QIcon m_hIcon;
  QMenu m_systemMenu;
  QPushButton* m_downloadButton = nullptr;
  QComboBox* m_readerTypeCombo = nullptr;
  QProgressBar* m_progress = nullptr;

  // Port control.
  int m_portIndex = 0;
  int m_baudIndex = 0;
  int m_portState = 0;
  bool m_portOpen = false;

  // Download sequencer; the session owns the serial port.
  std::string m_payloadSource;
  std::string m_grantProgram;
  QTimer m_progressTimer;
  QTimer m_eraseRetryTimer;
  QTimer m_watchTimer;
  // Declared last: destroyed (its port closed) before the timers and the
  // controls it reports to.
  DownloadSession m_session{*this, std::nullopt};
};

}  // namespace tevra
