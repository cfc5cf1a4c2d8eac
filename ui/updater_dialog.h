#pragma once

#include <QDialog>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <string>

#include "serial/notify_target.h"
#include "serial/serial_port.h"
#include "ui/dialog_controls.h"

class QComboBox;
class QContextMenuEvent;
class QKeyEvent;
class QProgressBar;
class QPushButton;

namespace tevra {

// The updater's main window: opens and closes the serial port, streams the
// payload carried by the updater's own file to the device, and keeps the log.
// Everything runs on the window's thread; the serial workers reach it only
// through Post.
class UpdaterDialog : public QDialog, public NotifyTarget {
  Q_OBJECT

 public:
  static constexpr int TIMER_PROGRESS = 1;
  static constexpr int TIMER_ERASE_RETRY = 2;
  static constexpr std::chrono::milliseconds kProgressPeriod{1000};
  static constexpr std::chrono::milliseconds kEraseRetryPeriod{4000};
  static constexpr std::uint32_t BLOCK_SIZE = 128;

  explicit UpdaterDialog(QWidget* parent = nullptr);
  UpdaterDialog(const UpdaterDialog&) = delete;
  UpdaterDialog& operator=(const UpdaterDialog&) = delete;
  ~UpdaterDialog() override;

  // NotifyTarget: any thread; the notification is handled on the window's.
  bool Post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;

  // Prepends one line to the log (the newest line is on top).
  void AppendLog(const QString& text);

  // The file that carries the payload; the updater's own file unless set
  // (a test or benchmark program carries none).
  void SetPayloadSource(std::string path) { m_payloadSource = std::move(path); }

  // The share of a payload of `total` bytes queued once `remaining` are
  // left, in percent (integer division); 0 for an empty payload.
  static int ProgressPercent(std::uint32_t total, std::uint32_t remaining);

  // Read-only views of the state, for tests and tools.
  int portIndex() const { return m_portIndex; }
  int baudIndex() const { return m_baudIndex; }
  bool portOpen() const { return m_portOpen; }
  bool downloading() const { return m_downloading; }
  bool erased() const { return m_erased; }
  std::uint32_t totalBytes() const { return m_totalBytes; }
  std::uint32_t remainingBytes() const { return m_remainingBytes; }
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
  void OnConnectReader();
  void OnDownload();
  long OnSerialNotify(std::uintptr_t wParam, std::intptr_t lParam);
  void OnTimer(int id);

  void StartDownload();
  void SendEraseCommand();
  void SendBlockHeader();
  void SendNextBlock();
  void FinishDownload();
  void AbandonDownload();
  void StopOnFileError(const char* what);

  void SetTimer(int id, std::chrono::milliseconds period);
  void KillTimer(int id);
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
  SerialPort m_serial;

  // Download sequencer.
  bool m_downloading = false;
  bool m_erased = false;
  std::uint32_t m_totalBytes = 0;
  std::uint32_t m_remainingBytes = 0;
  std::uint32_t m_blockSize = 0;
  std::uint32_t m_lastReadBytes = 0;
  QFile m_payloadFile;
  std::string m_payloadPath;  // for messages only: the file is read through its descriptor
  std::string m_payloadSource;
  QTimer m_progressTimer;
  QTimer m_eraseRetryTimer;
};

}  // namespace tevra
