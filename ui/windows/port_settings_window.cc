#include "ui/windows/port_settings_window.h"

#include <commctrl.h>

#include <array>

#include "res/dialog_template.h"
#include "ui/windows/dialog_template_buffer.h"

namespace tevra::win32 {

namespace {

constexpr int kStateOpen = 1;
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER;
constexpr UINT_PTR kListSubclass = 1;

}  // namespace

PortSettingsWindow::PortSettingsWindow(int portIndex, int baudIndex, int state)
    : portIndex_(portIndex),
      baudIndex_(baudIndex),
      state_(state),
      ports_(PortNames::OfThisSystem()) {}

bool PortSettingsWindow::Run(HWND owner) {
  const DialogTemplateBuffer tpl(res::PortSettingsTemplate(), kStyle, 0);
  return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), tpl.Get(), owner,
                                 &PortSettingsWindow::DialogProc,
                                 reinterpret_cast<LPARAM>(this)) == IDOK;
}

INT_PTR CALLBACK PortSettingsWindow::DialogProc(HWND hwnd, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    (void)SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    auto* self = PointerFrom<PortSettingsWindow>(lParam);
    self->hwnd_ = hwnd;
    self->OnInitDialog();
    return TRUE;
  }
  auto* self = PointerFrom<PortSettingsWindow>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (self == nullptr) {
    return FALSE;
  }
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK && HIWORD(wParam) == BN_CLICKED) {
        self->OnOK();
        return TRUE;
      }
      // No Cancel button: Escape and the close box cancel.
      if (LOWORD(wParam) == IDCANCEL) {
        (void)EndDialog(hwnd, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    case WM_NOTIFY: {
      auto* header = PointerFrom<NMHDR>(lParam);
      if (header->hwndFrom == self->tips_ && header->code == TTN_GETDISPINFOW) {
        auto* info = PointerFrom<NMTTDISPINFOW>(lParam);
        info->lpszText = const_cast<wchar_t*>(
            self->TipFor(PointerFrom<HWND__>(static_cast<LONG_PTR>(header->idFrom))));
        return TRUE;
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}

void PortSettingsWindow::OnInitDialog() {
  DialogTemplateBuffer::AddComboEntries(hwnd_, res::PortSettingsTemplate());
  (void)SendDlgItemMessageW(hwnd_, res::IDC_BAUD_RATE, CB_SETCURSEL,
                            static_cast<WPARAM>(baudIndex_), 0);
  (void)SendDlgItemMessageW(hwnd_, res::IDC_PORT_NUMBER, CB_SETCURSEL,
                            static_cast<WPARAM>(portIndex_), 0);
  (void)SetDlgItemTextW(hwnd_, res::IDC_PORT_STATE, state_ == kStateOpen ? L"Open" : L"Close");
  AddPortTips();
}

// Only the selected rows count; text typed into a box is never read.
void PortSettingsWindow::OnOK() {
  portIndex_ =
      static_cast<int>(SendDlgItemMessageW(hwnd_, res::IDC_PORT_NUMBER, CB_GETCURSEL, 0, 0));
  baudIndex_ = static_cast<int>(SendDlgItemMessageW(hwnd_, res::IDC_BAUD_RATE, CB_GETCURSEL, 0, 0));
  (void)EndDialog(hwnd_, IDOK);
}

void PortSettingsWindow::AddPortTips() {
  // No prefix processing: a device's name is shown as the system gives it.
  tips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                          WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, GetModuleHandleW(nullptr),
                          nullptr);
  HWND box = GetDlgItem(hwnd_, res::IDC_PORT_NUMBER);
  COMBOBOXINFO parts{};
  parts.cbSize = sizeof(parts);
  if (tips_ == nullptr || GetComboBoxInfo(box, &parts) == FALSE) {
    return;
  }
  list_ = parts.hwndList;
  for (HWND window : std::array<HWND, 3>{box, parts.hwndItem, list_}) {
    if (window == nullptr) {
      continue;
    }
    TOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = hwnd_;
    tool.uId = reinterpret_cast<UINT_PTR>(window);
    tool.lpszText = LPSTR_TEXTCALLBACKW;
    (void)SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  if (list_ != nullptr) {
    (void)SetWindowSubclass(list_, &PortSettingsWindow::ListProc, kListSubclass,
                            reinterpret_cast<DWORD_PTR>(this));
  }
}

// The list tells no one which row the mouse is over: its tip follows it here.
LRESULT CALLBACK PortSettingsWindow::ListProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                              UINT_PTR id, DWORD_PTR self) {
  if (message == WM_NCDESTROY) {
    (void)RemoveWindowSubclass(hwnd, &PortSettingsWindow::ListProc, id);
  } else if (message == WM_MOUSEMOVE) {
    auto* window = PointerFrom<PortSettingsWindow>(static_cast<LONG_PTR>(self));
    const auto hit = static_cast<DWORD>(SendMessageW(hwnd, LB_ITEMFROMPOINT, 0, lParam));
    const int row = HIWORD(hit) == 0 ? static_cast<int>(LOWORD(hit)) : -1;
    if (row != window->hoveredRow_) {
      window->hoveredRow_ = row;
      TOOLINFOW tool{};
      tool.cbSize = sizeof(tool);
      tool.hwnd = window->hwnd_;
      tool.uId = reinterpret_cast<UINT_PTR>(hwnd);
      tool.lpszText = const_cast<wchar_t*>(window->TipFor(hwnd));
      (void)SendMessageW(window->tips_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

const wchar_t* PortSettingsWindow::TipFor(HWND window) {
  HWND box = GetDlgItem(hwnd_, res::IDC_PORT_NUMBER);
  const int row =
      window == list_ ? hoveredRow_ : static_cast<int>(SendMessageW(box, CB_GETCURSEL, 0, 0));
  tipText_.clear();
  const auto length =
      static_cast<int>(SendMessageW(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(row), 0));
  if (row < 0 || length <= 0) {
    return tipText_.c_str();
  }
  std::wstring entry(static_cast<std::size_t>(length) + 1, L'\0');
  (void)SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(entry.data()));
  entry.resize(static_cast<std::size_t>(length));
  if (const std::optional<unsigned> number = PortNames::ComNumber(entry)) {
    tipText_ = ports_.Describe(*number);
  }
  return tipText_.c_str();
}

}  // namespace tevra::win32
