#pragma once

#include "ui/windows/windows_api.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ui/updater_window_logic.h"

namespace tevra {

// Runs the updater window until the user closes it: the Windows program's
// window mode. payloadSource: the file that carries the payload, the
// program's own file when empty. Returns the process's exit status: 0, or 1
// when the window could not be shown (the cause on standard error). The
// program must carry tevra_win_resources (the icon, the manifest).
int RunUpdaterWindow(std::string payloadSource = {});

namespace win32 {

// The updater window as a native dialog built from the dialog tables: a thin
// view of UpdaterWindowLogic, which its clicks, timers, system menu and
// serial notifications go to. The port's workers reach it only through a
// posted message.
class UpdaterWindow final : public UpdaterWindowView {
 public:
  // The serial notification the workers post; not WM_USER + 1, which is a
  // dialog's own DM_SETDEFID.
  static constexpr UINT WM_SERIAL_NOTIFY = WM_APP + 1;

  explicit UpdaterWindow(std::string payloadSource);

  // Runs the window modally; false when it could not be created.
  bool Run();

  // UpdaterWindowView.
  void Wake(std::uintptr_t wParam, std::intptr_t lParam) override;
  void PrependLog(std::string_view line) override;
  void SetProgressPos(int pos) override;
  void EnableDownload(bool enabled) override;
  void SetTimer(int id, std::chrono::milliseconds period) override;
  void KillTimer(int id) override;
  std::optional<PortChoice> AskPortSettings(int portIndex, int baudIndex, int portState) override;
  void ShowAbout() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  void OnCommand(int id, int code);
  bool OnPaint();
  HWND Item(int id) const;

  HWND hwnd_ = nullptr;
  // hwnd_ for the workers' threads.
  std::atomic<HWND> notifyTarget_{nullptr};
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  // Declared last: destroyed (its port closed, its workers stopped) first.
  UpdaterWindowLogic logic_{*this};
};

}  // namespace win32
}  // namespace tevra
