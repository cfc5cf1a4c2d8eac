#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "download/download_session.h"

namespace tevra {

// What the updater window shows and asks, as each system's window does it.
// Every call comes on the window's thread, except Wake.
class UpdaterWindowView {
 public:
  UpdaterWindowView() = default;
  UpdaterWindowView(const UpdaterWindowView&) = delete;
  UpdaterWindowView& operator=(const UpdaterWindowView&) = delete;
  virtual ~UpdaterWindowView() = default;

  // Any thread, never blocking: the logic's OnSerialNotify(wParam, lParam)
  // is to run on the window's thread soon after.
  virtual void Wake(std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // Puts one line on top of the log (the newest line is on top).
  virtual void PrependLog(std::string_view line) = 0;
  // The bar's range is set by the view (1..100); a position outside it
  // shows the nearest end, as the native bar does.
  virtual void SetProgressPos(int pos) = 0;
  virtual void EnableDownload(bool enabled) = 0;
  // Starts or restarts timer id; its ticks come back through OnTimer(id).
  virtual void SetTimer(int id, std::chrono::milliseconds period) = 0;
  virtual void KillTimer(int id) = 0;

  struct PortChoice {
    int portIndex = 0;  // row in the port list: COM<portIndex + 1>
    int baudIndex = 0;  // row in the rate list
  };
  // The modal settings dialog; nullopt when it was cancelled.
  virtual std::optional<PortChoice> AskPortSettings(int portIndex, int baudIndex,
                                                    int portState) = 0;
  // The modal about box.
  virtual void ShowAbout() = 0;
  // After COM<portNumber> would not open for want of permission (errno
  // EACCES or EPERM): offers a way in; true when the port should be tried
  // once more. Systems without such an offer keep the default.
  virtual bool OfferPortAccess(std::uint8_t /*portNumber*/) { return false; }
};

// The updater window's behaviour, free of any toolkit: the handlers of its
// buttons, timers, system menu and serial notifications, the log lines and
// which controls are enabled when. Each system's window is a thin view that
// forwards its events here and implements UpdaterWindowView.
class UpdaterWindowLogic : private DownloadSession::Frontend {
 public:
  static constexpr int TIMER_PROGRESS = DownloadSession::TIMER_PROGRESS;
  static constexpr int TIMER_ERASE_RETRY = DownloadSession::TIMER_ERASE_RETRY;
  static constexpr int TIMER_WATCH = DownloadSession::TIMER_WATCH;

  explicit UpdaterWindowLogic(UpdaterWindowView& view);
  UpdaterWindowLogic(const UpdaterWindowLogic&) = delete;
  UpdaterWindowLogic& operator=(const UpdaterWindowLogic&) = delete;
  // Closes the port: its workers post to the view.
  ~UpdaterWindowLogic() override;

  // The window's events.
  void OnInitDialog();
  void OnComSettings();
  void OnComClose();
  void OnDownload();
  void OnConnectReader();
  void OnSysCommand(unsigned id);
  void OnSerialNotify(std::uintptr_t wParam, std::intptr_t lParam);
  void OnTimer(int id);
  // Closes the port, putting back the line settings it found: the window is
  // about to end (a stop signal, a logout).
  void ClosePortForExit();

  // The file that carries the payload; the updater's own file unless set
  // (a test or benchmark program carries none).
  void SetPayloadSource(std::string path) { payloadSource_ = std::move(path); }

  int portIndex() const { return portIndex_; }
  int baudIndex() const { return baudIndex_; }
  bool portOpen() const { return portOpen_; }
  const DownloadSession& session() const { return session_; }

 private:
  // Opens COM<portNumber>, logging as Open Com does; false, errno set, when
  // it did not.
  bool OpenCom(std::uint8_t portNumber, std::uint32_t rate);
  void StartDownload();

  // DownloadSession::Frontend: the session's requests, passed to the view.
  void Wake(std::uintptr_t wParam, std::intptr_t lParam) override;
  void Log(std::string_view sentence) override;
  void Diagnostic(const std::string& line) override;
  void Progress(int percent) override;
  void SetTimer(int id, std::chrono::milliseconds period) override;
  void KillTimer(int id) override;
  void Ended(DownloadSession::Outcome outcome, const std::string& cause) override;

  UpdaterWindowView& view_;
  int portIndex_ = 0;
  int baudIndex_ = 0;
  int portState_ = 0;
  bool portOpen_ = false;
  std::string payloadSource_;
  // Declared last: destroyed (its port closed) before the rest.
  DownloadSession session_{*this, std::nullopt};
};

}  // namespace tevra
