#include "res/dialog_template.h"

#include <array>

#include "res/combo_lists.h"
#include "res/resource.h"

namespace tevra::res {

namespace {

constexpr unsigned kButton = kTabStop | kDefPushButton | kMultiLine;

constexpr std::array<ControlTemplate, 3> kAboutControls = {{
    {IDC_STATIC, "IDC_STATIC", ControlKind::kIcon, "IDR_MAINFRAME", 11, 17, 20, 20, kNoStyle, {}},
    {IDC_STATIC,
     "IDC_STATIC",
     ControlKind::kStatic,
     "Tevra dongle updater, version 2.4.1",
     43,
     24,
     119,
     8,
     kNoStyle,
     {}},
    {IDOK, "IDOK", ControlKind::kPushButton, "确定", 178, 7, 50, 14, kTabStop | kDefPushButton, {}},
}};

constexpr DialogTemplate kAboutBox = {IDD_ABOUTBOX, "关于 Tevra", "SimSun",      9,
                                      235,          55,           kAboutControls};

// Listed in tab order: the log first, so it has the focus when the window opens.
constexpr std::array<ControlTemplate, 9> kUpdaterControls = {{
    {IDC_LOG,
     "IDC_LOG",
     ControlKind::kEdit,
     "",
     3,
     49,
     429,
     200,
     kTabStop | kMultiLine | kWantReturn | kAutoVScroll | kVScroll | kBorder,
     {}},
    {IDC_COM_CLOSE,
     "IDC_COM_CLOSE",
     ControlKind::kPushButton,
     "Com Close",
     198,
     6,
     53,
     14,
     kButton,
     {}},
    {IDC_DOWNLOAD,
     "IDC_DOWNLOAD",
     ControlKind::kPushButton,
     "Download",
     373,
     6,
     60,
     14,
     kButton,
     {}},
    {IDC_STATIC, "IDC_STATIC", ControlKind::kStatic, "reader type", 5, 10, 45, 8, kNoStyle, {}},
    {IDC_READER_TYPE, "IDC_READER_TYPE", ControlKind::kComboBox, "", 54, 7, 60, 60,
     kTabStop | kDropDown | kSorted | kVScroll, kReaderTypes},
    {IDC_COM_SETTINGS,
     "IDC_COM_SETTINGS",
     ControlKind::kPushButton,
     "Com settings",
     120,
     6,
     75,
     14,
     kButton,
     {}},
    {IDC_CONNECT_READER,
     "IDC_CONNECT_READER",
     ControlKind::kPushButton,
     "Connect Reader",
     254,
     6,
     77,
     14,
     kButton,
     {}},
    {IDC_RESET, "IDC_RESET", ControlKind::kPushButton, "Reset", 333, 6, 38, 14, kButton, {}},
    {IDC_PROGRESS, "IDC_PROGRESS", ControlKind::kProgress, "", 4, 248, 428, 14, kNoStyle, {}},
}};

constexpr DialogTemplate kUpdaterDialog = {
    IDD_UPDATER_DIALOG, "Tevra dongle updater for Tevra 7 V2.4.1", "SimSun", 9, 442, 262,
    kUpdaterControls};

constexpr std::array<ControlTemplate, 7> kPortSettingsControls = {{
    {IDC_STATIC, "IDC_STATIC", ControlKind::kStatic, "State", 11, 9, 18, 8, kNoStyle, {}},
    {IDC_PORT_STATE, "IDC_PORT_STATE", ControlKind::kStatic, "CLOSE", 51, 8, 24, 8, kNoStyle, {}},
    {IDC_STATIC, "IDC_STATIC", ControlKind::kStatic, "number", 11, 27, 26, 8, kNoStyle, {}},
    {IDC_PORT_NUMBER, "IDC_PORT_NUMBER", ControlKind::kComboBox, "", 51, 23, 60, 114,
     kTabStop | kDropDown | kVScroll, kPortNumbers},
    {IDC_STATIC, "IDC_STATIC", ControlKind::kStatic, "rate", 11, 44, 14, 8, kNoStyle, {}},
    {IDC_BAUD_RATE, "IDC_BAUD_RATE", ControlKind::kComboBox, "", 51, 44, 59, 103,
     kTabStop | kDropDown | kVScroll, kBaudRates},
    {IDOK,
     "IDOK",
     ControlKind::kPushButton,
     "Open Com",
     40,
     64,
     50,
     14,
     kTabStop | kDefPushButton,
     {}},
}};

constexpr DialogTemplate kPortSettings = {
    IDD_PORT_SETTINGS, "com settings", "System", 10, 127, 84, kPortSettingsControls};

}  // namespace

const DialogTemplate& AboutBoxTemplate() {
  return kAboutBox;
}
const DialogTemplate& UpdaterDialogTemplate() {
  return kUpdaterDialog;
}
const DialogTemplate& PortSettingsTemplate() {
  return kPortSettings;
}

}  // namespace tevra::res
