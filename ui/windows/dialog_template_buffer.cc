#include "ui/windows/dialog_template_buffer.h"

#include <commctrl.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/windows/system_error.h"

namespace tevra::win32 {

namespace {

// The predefined classes' ordinals in a template.
constexpr unsigned kButtonClass = 0x0080;
constexpr unsigned kEditClass = 0x0081;
constexpr unsigned kStaticClass = 0x0082;
constexpr unsigned kComboBoxClass = 0x0085;

constexpr std::string_view kMainIconName = "IDR_MAINFRAME";

bool Has(const res::ControlTemplate& control, res::Style style) {
  return (control.style & style) != 0;
}

DWORD ControlStyle(const res::ControlTemplate& control) {
  DWORD style = WS_CHILD | WS_VISIBLE;
  if (Has(control, res::kTabStop)) {
    style |= WS_TABSTOP;
  }
  if (Has(control, res::kVScroll)) {
    style |= WS_VSCROLL;
  }
  if (Has(control, res::kBorder)) {
    style |= WS_BORDER;
  }
  switch (control.kind) {
    case res::ControlKind::kStatic:
      return style | SS_LEFT | WS_GROUP;
    case res::ControlKind::kIcon:
      return style | SS_ICON;
    case res::ControlKind::kPushButton:
      style |=
          static_cast<DWORD>(Has(control, res::kDefPushButton) ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
      return Has(control, res::kMultiLine) ? style | BS_MULTILINE : style;
    case res::ControlKind::kComboBox:
      style |= static_cast<DWORD>(Has(control, res::kDropDown) ? CBS_DROPDOWN : CBS_DROPDOWNLIST);
      return Has(control, res::kSorted) ? style | CBS_SORT : style;
    case res::ControlKind::kEdit:
      style |= ES_LEFT;
      if (Has(control, res::kMultiLine)) {
        style |= ES_MULTILINE;
      }
      if (Has(control, res::kWantReturn)) {
        style |= ES_WANTRETURN;
      }
      return Has(control, res::kAutoVScroll) ? style | ES_AUTOVSCROLL : style;
    case res::ControlKind::kProgress:
      return style;
  }
  return style;
}

}  // namespace

DialogTemplateBuffer::DialogTemplateBuffer(const res::DialogTemplate& table, DWORD style,
                                           DWORD exStyle) {
  PutWord(1);       // dlgVer
  PutWord(0xFFFF);  // signature: the extended form
  PutDword(0);      // helpID
  PutDword(exStyle);
  PutDword(style | DS_SETFONT);
  PutWord(static_cast<unsigned>(table.controls.size()));
  PutWord(0);  // x, y: DS_CENTER or the system places it
  PutWord(0);
  PutWord(static_cast<unsigned>(table.w));
  PutWord(static_cast<unsigned>(table.h));
  PutWord(0);  // no menu
  PutWord(0);  // the system's dialog class
  PutText(table.caption);
  PutWord(static_cast<unsigned>(table.pointSize));
  PutWord(FW_NORMAL);
  PutWord(DEFAULT_CHARSET << 8U);  // italic 0, then the charset byte
  PutText(table.fontFamily);
  for (const res::ControlTemplate& control : table.controls) {
    PutControl(control);
  }
}

const DLGTEMPLATE* DialogTemplateBuffer::Get() const {
  // The extended form starts with the same bytes the system tells apart by
  // its signature; the vector's storage is aligned for any DWORD.
  return reinterpret_cast<const DLGTEMPLATE*>(words_.data());
}

void DialogTemplateBuffer::PutControl(const res::ControlTemplate& control) {
  AlignToDword();
  PutDword(0);  // helpID
  PutDword(0);  // exStyle
  PutDword(ControlStyle(control));
  PutWord(static_cast<unsigned>(control.x));
  PutWord(static_cast<unsigned>(control.y));
  PutWord(static_cast<unsigned>(control.w));
  PutWord(static_cast<unsigned>(control.h));
  PutDword(static_cast<DWORD>(control.id));  // IDC_STATIC's -1 as 0xFFFFFFFF
  switch (control.kind) {
    case res::ControlKind::kStatic:
    case res::ControlKind::kIcon:
      PutOrdinal(kStaticClass);
      break;
    case res::ControlKind::kPushButton:
      PutOrdinal(kButtonClass);
      break;
    case res::ControlKind::kComboBox:
      PutOrdinal(kComboBoxClass);
      break;
    case res::ControlKind::kEdit:
      PutOrdinal(kEditClass);
      break;
    case res::ControlKind::kProgress:
      PutText("msctls_progress32");
      break;
  }
  if (control.kind == res::ControlKind::kIcon && control.text == kMainIconName) {
    PutOrdinal(res::IDR_MAINFRAME);
  } else {
    PutText(control.text);
  }
  PutWord(0);  // no creation data
}

void DialogTemplateBuffer::PutWord(unsigned value) {
  words_.push_back(static_cast<WORD>(value));
}

void DialogTemplateBuffer::PutDword(DWORD value) {
  PutWord(value & 0xFFFFU);
  PutWord(value >> 16U);
}

void DialogTemplateBuffer::PutText(std::string_view utf8) {
  const std::wstring wide = Widen(utf8);
  words_.insert(words_.end(), wide.begin(), wide.end());
  PutWord(0);
}

void DialogTemplateBuffer::PutOrdinal(unsigned value) {
  PutWord(0xFFFF);
  PutWord(value);
}

void DialogTemplateBuffer::AlignToDword() {
  if (words_.size() % 2 != 0) {
    PutWord(0);
  }
}

void DialogTemplateBuffer::AddComboEntries(HWND dialog, const res::DialogTemplate& table) {
  for (const res::ControlTemplate& control : table.controls) {
    if (control.kind != res::ControlKind::kComboBox) {
      continue;
    }
    HWND box = GetDlgItem(dialog, control.id);
    for (const char* entry : control.entries) {
      const std::wstring text = Widen(entry);
      (void)SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    // The common controls' own list shows up to 30 rows, whatever the
    // template says: the table's height is kept by asking for the rows
    // that fit in it under the field.
    RECT tall{0, 0, 0, control.h};
    (void)MapDialogRect(dialog, &tall);
    RECT field;
    (void)GetWindowRect(box, &field);
    const auto row = static_cast<int>(SendMessageW(box, CB_GETITEMHEIGHT, 0, 0));
    if (row > 0) {
      const int rows =
          std::max(1, static_cast<int>(tall.bottom - (field.bottom - field.top)) / row);
      (void)SendMessageW(box, CB_SETMINVISIBLE, static_cast<WPARAM>(rows), 0);
    }
  }
}

}  // namespace tevra::win32
