#pragma once

#include <QDialog>
#include <QIcon>
#include <QMenu>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ui/dialog_controls.h"
#include "ui/updater_window_logic.h"

class QContextMenuEvent;
class QKeyEvent;
class QProgressBar;
class QPushButton;

namespace tevra {

// The updater's main window on Qt: builds its controls from the dialog
// tables, forwards clicks, timers and the serial workers' notices to the
// window logic and shows what it says. Everything runs on the window's
// thread; the serial workers reach it only through posted events.
class UpdaterDialog : public QDialog, private UpdaterWindowView {
  Q_OBJECT

 public:
  explicit UpdaterDialog(QWidget* parent = nullptr);
  UpdaterDialog(const UpdaterDialog&) = delete;
  UpdaterDialog& operator=(const UpdaterDialog&) = delete;
  ~UpdaterDialog() override;

  // The file that carries the payload; the updater's own file unless set
  // (a test or benchmark program carries none).
  void SetPayloadSource(std::string path) { m_logic.SetPayloadSource(std::move(path)); }
  // The program pkexec runs to grant access to a port; the updater's own
  // file unless set (a test program is not the updater).
  void SetGrantProgram(std::string path) { m_grantProgram = std::move(path); }

  // Read-only views of the state, for tests and tools.
  const UpdaterWindowLogic& logic() const { return m_logic; }
  int portIndex() const { return m_logic.portIndex(); }
  int baudIndex() const { return m_logic.baudIndex(); }
  bool portOpen() const { return m_logic.portOpen(); }
  const DialogControls& controls() const { return m_controls; }

  // Closes the port, putting back the line settings it found, and closes
  // the window and any dialog over it: a stop signal or a desktop logout.
  void StopForSignal();

 protected:
  bool event(QEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void ConnectMessageMap();
  void OnInitDialog();
  QTimer& TimerFor(int id);

  // UpdaterWindowView
  void Wake(std::uintptr_t wParam, std::intptr_t lParam) override;
  void PrependLog(std::string_view line) override;
  void SetProgressPos(int pos) override;
  void EnableDownload(bool enabled) override;
  void SetTimer(int id, std::chrono::milliseconds period) override;
  void KillTimer(int id) override;
  std::optional<PortChoice> AskPortSettings(int portIndex, int baudIndex, int portState) override;
  void ShowAbout() override;
  // Offers to grant the port when its device refuses this user.
  bool OfferPortAccess(std::uint8_t portNumber) override;

  DialogControls m_controls;
  QIcon m_hIcon;
  QMenu m_systemMenu;
  QPushButton* m_downloadButton = nullptr;
  QProgressBar* m_progress = nullptr;
  std::string m_grantProgram;
  QTimer m_progressTimer;
  QTimer m_eraseRetryTimer;
  QTimer m_watchTimer;
  // Declared last: destroyed (its port closed) before the timers and the
  // controls it reports to.
  UpdaterWindowLogic m_logic{*this};
};

}  // namespace tevra
