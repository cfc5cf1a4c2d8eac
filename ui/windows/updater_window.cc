#include "ui/windows/updater_window.h"

#include <commctrl.h>

#include <string>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/windows/system_error.h"
#include "res/dialog_template.h"
#include "res/string_table.h"
#include "ui/windows/about_box.h"
#include "ui/windows/dialog_template_buffer.h"
#include "ui/windows/port_settings_window.h"

namespace tevra {

int RunUpdaterWindow(std::string payloadSource) {
  win32::UpdaterWindow window(std::move(payloadSource));
  return window.Run() ? 0 : 1;
}

namespace win32 {

namespace {

constexpr int kProgressMin = 1;
constexpr int kProgressMax = 100;

// A visible pop-up with caption, system menu and modal frame, on the task bar.
constexpr DWORD kWindowStyle =
    WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER;
constexpr DWORD kWindowExStyle = WS_EX_APPWINDOW;

HICON LoadMainIcon(int sizeMetric) {
  const int size = GetSystemMetrics(sizeMetric);
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr),
                                       MAKEINTRESOURCEW(res::IDR_MAINFRAME), IMAGE_ICON, size, size,
                                       LR_SHARED));
}

}  // namespace

UpdaterWindow::UpdaterWindow(std::string payloadSource)
    : icon_(LoadMainIcon(SM_CXICON)), smallIcon_(LoadMainIcon(SM_CXSMICON)) {
  logic_.SetPayloadSource(std::move(payloadSource));
}

bool UpdaterWindow::Run() {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  (void)InitCommonControlsEx(&controls);
  const DialogTemplateBuffer tpl(res::UpdaterDialogTemplate(), kWindowStyle, kWindowExStyle);
  const INT_PTR result =
      DialogBoxIndirectParamW(GetModuleHandleW(nullptr), tpl.Get(), nullptr,
                              &UpdaterWindow::DialogProc, reinterpret_cast<LPARAM>(this));
  if (result == -1) {
    Diagnose("the window cannot be shown: " + SystemMessage(GetLastError()));
    return false;
  }
  return true;
}

INT_PTR CALLBACK UpdaterWindow::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = PointerFrom<UpdaterWindow>(lParam);
    (void)SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
    self->notifyTarget_.store(hwnd);
    self->OnInitDialog();
    return TRUE;  // the system gives the focus to the first tab stop: the log
  }
  auto* self = PointerFrom<UpdaterWindow>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (self == nullptr) {
    return FALSE;
  }
  if (message == WM_NCDESTROY) {
    // The logic outlives the window: whatever it asks later goes nowhere.
    self->hwnd_ = nullptr;
    self->notifyTarget_.store(nullptr);
    return FALSE;
  }
  return self->OnMessage(message, wParam, lParam);
}

INT_PTR UpdaterWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_SYSCOMMAND:
      // Every other command keeps its default processing.
      logic_.OnSysCommand(static_cast<unsigned>(wParam));
      return FALSE;
    case WM_TIMER:
      logic_.OnTimer(static_cast<int>(wParam));
      return TRUE;
    case WM_SERIAL_NOTIFY:
      logic_.OnSerialNotify(wParam, lParam);
      return TRUE;
    case WM_PAINT:
      return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_ENDSESSION:
      // Logging off: the port gets its line settings back before the end.
      if (wParam != FALSE) {
        logic_.ClosePortForExit();
      }
      return TRUE;
    default:
      return FALSE;
  }
}

void UpdaterWindow::OnInitDialog() {
  const std::string_view about = res::LoadResString(res::IDS_ABOUTBOX);
  if (HMENU menu = GetSystemMenu(hwnd_, FALSE); menu != nullptr && !about.empty()) {
    (void)AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    (void)AppendMenuW(menu, MF_STRING, res::IDM_ABOUTBOX, Widen(about).c_str());
  }
  (void)SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  (void)SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

  logic_.OnInitDialog();

  DialogTemplateBuffer::AddComboEntries(hwnd_, res::UpdaterDialogTemplate());
  (void)SendMessageW(Item(res::IDC_READER_TYPE), CB_SETCURSEL, 0, 0);
  HWND progress = Item(res::IDC_PROGRESS);
  (void)SendMessageW(progress, PBM_SETRANGE32, kProgressMin, kProgressMax);
  (void)SendMessageW(progress, PBM_SETSTEP, 1, 0);
  (void)SendMessageW(progress, PBM_SETPOS, kProgressMin, 0);
}

void UpdaterWindow::OnCommand(int id, int code) {
  if (code != BN_CLICKED) {
    return;
  }
  switch (id) {
    case res::IDC_COM_CLOSE:
      logic_.OnComClose();
      break;
    case res::IDC_DOWNLOAD:
      logic_.OnDownload();
      break;
    case res::IDC_COM_SETTINGS:
      logic_.OnComSettings();
      break;
    case res::IDC_CONNECT_READER:
      logic_.OnConnectReader();
      break;
    // Enter that no control takes, Escape and the close box: the window
    // ends at once, also during a download.
    case IDOK:
    case IDCANCEL:
      (void)EndDialog(hwnd_, id);
      break;
    default:  // IDC_RESET has no handler
      break;
  }
}

// Minimised, the window shows its icon in the middle of its client area.
bool UpdaterWindow::OnPaint() {
  if (IsIconic(hwnd_) == FALSE) {
    return false;
  }
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  (void)SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  (void)GetClientRect(hwnd_, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  (void)DrawIcon(dc, x, y, icon_);
  (void)EndPaint(hwnd_, &paint);
  return true;
}

HWND UpdaterWindow::Item(int id) const {
  return GetDlgItem(hwnd_, id);
}

void UpdaterWindow::Wake(std::uintptr_t wParam, std::intptr_t lParam) {
  // A window already gone takes nothing: the logic closes the port after.
  if (HWND target = notifyTarget_.load(); target != nullptr) {
    (void)PostMessageW(target, WM_SERIAL_NOTIFY, wParam, lParam);
  }
}

void UpdaterWindow::PrependLog(std::string_view line) {
  if (hwnd_ == nullptr) {
    return;
  }
  // The whole text, what the user typed included, moves down one line.
  HWND log = Item(res::IDC_LOG);
  const int length = GetWindowTextLengthW(log);
  std::wstring old(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(log, old.data(), length + 1);
  old.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  const std::wstring text = Widen(line) + L"\r\n" + old;
  (void)SetWindowTextW(log, text.c_str());
}

void UpdaterWindow::SetProgressPos(int pos) {
  (void)SendMessageW(Item(res::IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void UpdaterWindow::EnableDownload(bool enabled) {
  HWND button = Item(res::IDC_DOWNLOAD);
  // The keyboard would stop at a disabled button with the focus.
  if (!enabled && GetFocus() == button) {
    (void)SendMessageW(hwnd_, WM_NEXTDLGCTL, 0, FALSE);
  }
  (void)EnableWindow(button, enabled ? TRUE : FALSE);
}

void UpdaterWindow::SetTimer(int id, std::chrono::milliseconds period) {
  // Without a window the system would make a timer of the thread's own.
  if (hwnd_ == nullptr) {
    return;
  }
  (void)::SetTimer(hwnd_, static_cast<UINT_PTR>(id), static_cast<UINT>(period.count()), nullptr);
}

void UpdaterWindow::KillTimer(int id) {
  (void)::KillTimer(hwnd_, static_cast<UINT_PTR>(id));
}

std::optional<UpdaterWindowView::PortChoice> UpdaterWindow::AskPortSettings(int portIndex,
                                                                            int baudIndex,
                                                                            int portState) {
  PortSettingsWindow settings(portIndex, baudIndex, portState);
  if (!settings.Run(hwnd_)) {
    return std::nullopt;
  }
  return PortChoice{settings.portIndex(), settings.baudIndex()};
}

void UpdaterWindow::ShowAbout() {
  RunAboutBox(hwnd_);
}

}  // namespace win32
}  // namespace tevra
