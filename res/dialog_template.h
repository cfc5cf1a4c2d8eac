#pragma once

#include <span>

namespace tevra::res {

enum class ControlKind { kStatic, kIcon, kPushButton, kComboBox, kEdit, kProgress };

// Window styles the templates use; the builder maps each onto its widget.
enum Style : unsigned {
  kNoStyle = 0,
  kTabStop = 1U << 0,
  kDefPushButton = 1U << 1,
  kMultiLine = 1U << 2,
  kDropDown = 1U << 3,
  kSorted = 1U << 4,
  kVScroll = 1U << 5,
  kWantReturn = 1U << 6,
  kAutoVScroll = 1U << 7,
  kBorder = 1U << 8,
};

// One control of a dialog template; geometry in dialog units.
struct ControlTemplate {
  int id;
  const char* idName;  // becomes the widget's objectName
  ControlKind kind;
  const char* text;  // UTF-8; for kIcon the icon's resource name
  int x;
  int y;
  int w;
  int h;  // for a combo box: the height with its list dropped down
  unsigned style;
  std::span<const char* const> entries;  // combo box entries, in resource order
};

// A dialog template; controls are listed in tab order, as in a resource script.
struct DialogTemplate {
  int id;
  const char* caption;  // UTF-8
  const char* fontFamily;
  int pointSize;
  int w;
  int h;
  std::span<const ControlTemplate> controls;
};

const DialogTemplate& AboutBoxTemplate();
const DialogTemplate& UpdaterDialogTemplate();
const DialogTemplate& PortSettingsTemplate();

}  // namespace tevra::res
