#pragma once

#include "ui/windows/windows_api.h"

#include <string_view>
#include <vector>

#include "res/dialog_template.h"

namespace tevra::win32 {

// One of the dialog tables as the in-memory DLGTEMPLATEEX that
// DialogBoxIndirectParamW runs: the table's caption, font, size, and each
// control's id, class, text, styles and geometry in dialog units, in the
// table's (tab) order.
class DialogTemplateBuffer {
 public:
  // style: the dialog's own window styles (DS_SETFONT is added);
  // exStyle: its extended styles.
  DialogTemplateBuffer(const res::DialogTemplate& table, DWORD style, DWORD exStyle);

  const DLGTEMPLATE* Get() const;

  // Fills each combo box of a dialog made from table with the table's
  // entries, in the table's order (a sorted box sorts them itself).
  static void AddComboEntries(HWND dialog, const res::DialogTemplate& table);

 private:
  void PutWord(unsigned value);
  void PutDword(DWORD value);
  void PutText(std::string_view utf8);
  void PutOrdinal(unsigned value);
  void AlignToDword();
  void PutControl(const res::ControlTemplate& control);

  std::vector<WORD> words_;
};

}  // namespace tevra::win32
