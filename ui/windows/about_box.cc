#include "ui/windows/about_box.h"

#include "res/dialog_template.h"
#include "ui/windows/dialog_template_buffer.h"

namespace tevra::win32 {

namespace {

constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER;

// No handlers of its own: OK, Escape and the close box end it.
INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  if (message == WM_INITDIALOG) {
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    (void)EndDialog(hwnd, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void RunAboutBox(HWND owner) {
  const DialogTemplateBuffer tpl(res::AboutBoxTemplate(), kStyle, 0);
  (void)DialogBoxIndirectParamW(GetModuleHandleW(nullptr), tpl.Get(), owner, &AboutProc, 0);
}

}  // namespace tevra::win32
