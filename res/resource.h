#pragma once

// Resource and command ids of the updater's dialogs, strings and icon.
namespace tevra::res {

inline constexpr int IDC_STATIC = -1;
inline constexpr int IDOK = 1;

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_UPDATER_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDD_PORT_SETTINGS = 130;

inline constexpr int IDC_LOG = 1001;
inline constexpr int IDC_COM_CLOSE = 1002;
inline constexpr int IDC_READER_TYPE = 1006;
inline constexpr int IDC_DOWNLOAD = 1007;
inline constexpr int IDC_COM_SETTINGS = 1008;
inline constexpr int IDC_CONNECT_READER = 1009;
inline constexpr int IDC_RESET = 1010;
inline constexpr int IDC_PROGRESS = 1012;
inline constexpr int IDC_PORT_STATE = 1060;
inline constexpr int IDC_BAUD_RATE = 1061;
inline constexpr int IDC_PORT_NUMBER = 1067;

// The about entry's command; the low four bits of a system command are the
// platform's own, so handlers compare with them cleared.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
inline constexpr unsigned kSysCommandMask = 0xFFF0;

}  // namespace tevra::res
