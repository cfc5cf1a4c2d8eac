// The native window, run on the test's thread as the program runs it, read
// and driven from a second thread through the messages any program could
// send it. Needs a display (Xvfb under Wine): without one it skips.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/windows/system_error.h"
#include "res/dialog_template.h"
#include "ui/windows/port_names.h"
#include "ui/windows/updater_window.h"
#include "ui/windows/windows_api.h"
// clang-format off: after windows_api.h.
#include <commctrl.h>
// clang-format on

namespace {

using tevra::res::ControlKind;
using tevra::res::ControlTemplate;
using tevra::res::DialogTemplate;
using Clock = std::chrono::steady_clock;

constexpr auto kCap = std::chrono::seconds(20);
constexpr DWORD kTick = 20;

std::wstring Text(HWND window) {
  std::array<wchar_t, 4096> text{};
  const int n = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
  return {text.data(), static_cast<std::size_t>(n > 0 ? n : 0)};
}

// Waits (up to the cap) until check holds; the window's thread runs meanwhile.
bool WaitFor(const std::function<bool()>& check) {
  const auto end = Clock::now() + kCap;
  while (!check()) {
    if (Clock::now() > end) {
      return false;
    }
    (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, kTick, QS_ALLINPUT);
  }
  return true;
}

// The visible top-level window of thread with this caption, or nullptr.
HWND FindThreadWindow(DWORD thread, const std::wstring& caption) {
  struct Search {
    const std::wstring* caption;
    HWND found;
  } search{&caption, nullptr};
  (void)EnumThreadWindows(
      thread,
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* s = tevra::win32::PointerFrom<Search>(param);
        if (IsWindowVisible(hwnd) != FALSE && Text(hwnd) == *s->caption) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForWindow(DWORD thread, const char* caption) {
  HWND found = nullptr;
  (void)WaitFor(
      [&] { return (found = FindThreadWindow(thread, tevra::win32::Widen(caption))) != nullptr; });
  return found;
}

// Dialog units to pixels, as the system places a control: its origin and its
// size each mapped (not its far edge).
RECT DialogRect(HWND dialog, int x, int y, int w, int h) {
  RECT origin{x, y, 0, 0};
  RECT size{w, h, 0, 0};
  (void)MapDialogRect(dialog, &origin);
  (void)MapDialogRect(dialog, &size);
  return {origin.left, origin.top, origin.left + size.left, origin.top + size.top};
}

// The control's rectangle in its dialog's client coordinates.
RECT ClientRectOf(HWND dialog, HWND control) {
  RECT rect;
  (void)GetWindowRect(control, &rect);
  (void)MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// Every control of the live dialog is its table's: the same order (the tab
// order), id, text and place in dialog units, the table's caption and size.
void ExpectTable(HWND dialog, const DialogTemplate& table) {
  EXPECT_EQ(Text(dialog), tevra::win32::Widen(table.caption));
  RECT client;
  (void)GetClientRect(dialog, &client);
  const RECT size = DialogRect(dialog, 0, 0, table.w, table.h);
  EXPECT_EQ(client.right, size.right) << table.caption;
  EXPECT_EQ(client.bottom, size.bottom) << table.caption;
  HWND child = GetWindow(dialog, GW_CHILD);
  for (const ControlTemplate& c : table.controls) {
    ASSERT_NE(child, nullptr) << c.idName;
    EXPECT_EQ(GetDlgCtrlID(child), c.id) << c.idName;
    const RECT want = DialogRect(dialog, c.x, c.y, c.w, c.h);
    const RECT got = ClientRectOf(dialog, child);
    EXPECT_EQ(got.left, want.left) << c.idName;
    EXPECT_EQ(got.top, want.top) << c.idName;
    if (c.kind == ControlKind::kComboBox) {
      // The template's height is the box's with its list dropped down, at
      // most: a short list takes no more room than its rows.
      RECT dropped;
      (void)SendMessageW(child, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
      EXPECT_EQ(dropped.right - dropped.left, want.right - want.left) << c.idName;
      EXPECT_LE(dropped.bottom - dropped.top, want.bottom - want.top) << c.idName;
      EXPECT_GT(dropped.bottom - dropped.top, got.bottom - got.top) << c.idName;
      EXPECT_EQ(SendMessageW(child, CB_GETCOUNT, 0, 0), static_cast<LRESULT>(c.entries.size()));
    } else if (c.kind != ControlKind::kIcon) {  // an icon control takes the icon's size
      EXPECT_EQ(got.right, want.right) << c.idName;
      EXPECT_EQ(got.bottom, want.bottom) << c.idName;
    }
    // IDC_PORT_STATE's text is replaced at start.
    if (c.kind == ControlKind::kPushButton ||
        (c.kind == ControlKind::kStatic && c.id == tevra::res::IDC_STATIC)) {
      EXPECT_EQ(Text(child), tevra::win32::Widen(c.text)) << c.idName;
    }
    EXPECT_EQ((GetWindowLongW(child, GWL_STYLE) & WS_TABSTOP) != 0,
              (c.style & tevra::res::kTabStop) != 0)
        << c.idName;
    child = GetWindow(child, GW_HWNDNEXT);
  }
  EXPECT_EQ(child, nullptr);
}

std::wstring ComboRow(HWND box, WPARAM row) {
  std::array<wchar_t, 64> text{};
  (void)SendMessageW(box, CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(text.data()));
  return text.data();
}

// Runs the window on this thread and drive(window, thread) on another, which
// ends by closing it.
void WithWindow(const std::function<void(HWND, DWORD)>& drive) {
  HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  if (probe == nullptr) {
    GTEST_SKIP() << "no display to show a window on";
  }
  (void)DestroyWindow(probe);
  const DWORD thread = GetCurrentThreadId();
  std::thread driver([&] {
    HWND window = WaitForWindow(thread, tevra::res::UpdaterDialogTemplate().caption);
    if (window == nullptr) {
      ADD_FAILURE() << "the window did not appear";
      (void)PostThreadMessageW(thread, WM_QUIT, 0, 0);
      return;
    }
    drive(window, thread);
    (void)PostMessageW(window, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(tevra::RunUpdaterWindow(), 0);
  driver.join();
}

std::wstring LogOf(HWND window) {
  return Text(GetDlgItem(window, tevra::res::IDC_LOG));
}

void Click(HWND window, int id) {
  (void)SendMessageW(GetDlgItem(window, id), BM_CLICK, 0, 0);
}

TEST(UpdaterWindowTest, IsItsTableAndStartsAsSpecified) {
  WithWindow([](HWND window, DWORD thread) {
    ExpectTable(window, tevra::res::UpdaterDialogTemplate());
    // Tab order from the log, which has the focus.
    GUITHREADINFO gui{};
    gui.cbSize = sizeof(gui);
    ASSERT_NE(GetGUIThreadInfo(thread, &gui), FALSE);
    HWND at = gui.hwndFocus;
    EXPECT_EQ(GetDlgCtrlID(at), tevra::res::IDC_LOG);
    for (const int id :
         {tevra::res::IDC_COM_CLOSE, tevra::res::IDC_DOWNLOAD, tevra::res::IDC_READER_TYPE,
          tevra::res::IDC_COM_SETTINGS, tevra::res::IDC_CONNECT_READER, tevra::res::IDC_RESET,
          tevra::res::IDC_LOG}) {
      at = GetNextDlgTabItem(window, at, FALSE);
      EXPECT_EQ(GetDlgCtrlID(at), id);
    }
    HWND reader = GetDlgItem(window, tevra::res::IDC_READER_TYPE);
    EXPECT_EQ(SendMessageW(reader, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(Text(reader), L"COM");
    HWND progress = GetDlgItem(window, tevra::res::IDC_PROGRESS);
    PBRANGE range{};
    (void)SendMessageW(progress, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 1);
    EXPECT_EQ(range.iHigh, 100);
    EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 1);
    EXPECT_NE(IsWindowEnabled(GetDlgItem(window, tevra::res::IDC_DOWNLOAD)), FALSE);
    EXPECT_EQ(LogOf(window), L"");
    // Big and small icon, from IDR_MAINFRAME.
    EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_SMALL, 0), 0);
  });
}

// The newest line on top, each ended by "\r\n", what the user typed kept.
TEST(UpdaterWindowTest, LogsNewestFirstAndKeepsWhatTheUserTyped) {
  WithWindow([](HWND window, DWORD /*thread*/) {
    (void)SendMessageW(GetDlgItem(window, tevra::res::IDC_LOG), EM_SETSEL, 0, -1);
    (void)SendMessageW(GetDlgItem(window, tevra::res::IDC_LOG), EM_REPLACESEL, TRUE,
                       reinterpret_cast<LPARAM>(L"typed"));
    Click(window, tevra::res::IDC_CONNECT_READER);
    Click(window, tevra::res::IDC_RESET);
    Click(window, tevra::res::IDC_COM_CLOSE);
    Click(window, tevra::res::IDC_DOWNLOAD);
    EXPECT_EQ(LogOf(window),
              L"No Open Com!\r\nSuccess to Close Com!\r\nDo without connect in com mode.\r\ntyped");
  });
}

TEST(UpdaterWindowTest, SettingsDialogPicksPortAndRate) {
  WithWindow([](HWND window, DWORD thread) {
    const auto openSettings = [&] {
      (void)PostMessageW(GetDlgItem(window, tevra::res::IDC_COM_SETTINGS), BM_CLICK, 0, 0);
      return WaitForWindow(thread, tevra::res::PortSettingsTemplate().caption);
    };
    HWND settings = openSettings();
    ASSERT_NE(settings, nullptr);
    ExpectTable(settings, tevra::res::PortSettingsTemplate());
    HWND ports = GetDlgItem(settings, tevra::res::IDC_PORT_NUMBER);
    HWND rates = GetDlgItem(settings, tevra::res::IDC_BAUD_RATE);
    EXPECT_EQ(ComboRow(ports, 12), L"COM13");
    EXPECT_EQ(ComboRow(rates, 14), L"256000");
    EXPECT_EQ(SendMessageW(ports, CB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(SendMessageW(rates, CB_GETCURSEL, 0, 0), 6);
    EXPECT_EQ(Text(GetDlgItem(settings, tevra::res::IDC_PORT_STATE)), L"Close");
    EXPECT_NE(GetWindowLongW(GetDlgItem(settings, IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON, 0);

    // COM13 has no device here: the pick comes back and the open fails.
    (void)SendMessageW(ports, CB_SETCURSEL, 12, 0);
    (void)SendMessageW(rates, CB_SETCURSEL, 0, 0);
    Click(settings, IDOK);
    EXPECT_TRUE(WaitFor([&] { return LogOf(window) == L"Com has not opened!\r\n"; }))
        << LogOf(window);

    // Shown again with that pick; cancelled, it logs nothing.
    settings = openSettings();
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(SendDlgItemMessageW(settings, tevra::res::IDC_PORT_NUMBER, CB_GETCURSEL, 0, 0), 12);
    EXPECT_EQ(SendDlgItemMessageW(settings, tevra::res::IDC_BAUD_RATE, CB_GETCURSEL, 0, 0), 0);
    (void)PostMessageW(settings, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return IsWindow(settings) == FALSE; }));
    EXPECT_EQ(LogOf(window), L"Com has not opened!\r\n");

    // Text typed into the box is no pick: no row, no port.
    settings = openSettings();
    ASSERT_NE(settings, nullptr);
    (void)SendDlgItemMessageW(settings, tevra::res::IDC_PORT_NUMBER, CB_SETCURSEL,
                              static_cast<WPARAM>(-1), 0);
    (void)SetDlgItemTextW(settings, tevra::res::IDC_PORT_NUMBER, L"COM3");
    Click(settings, IDOK);
    EXPECT_TRUE(WaitFor([&] {
      return LogOf(window) == L"Com has not opened!\r\nCom has not opened!\r\n";
    })) << LogOf(window);
  });
}

TEST(UpdaterWindowTest, AboutBoxIsASystemMenuEntry) {
  WithWindow([](HWND window, DWORD thread) {
    HMENU menu = GetSystemMenu(window, FALSE);
    const int last = GetMenuItemCount(menu) - 1;
    ASSERT_GT(last, 0);
    EXPECT_EQ(GetMenuItemID(menu, last), tevra::res::IDM_ABOUTBOX);
    std::array<wchar_t, 64> entry{};
    (void)GetMenuStringW(menu, static_cast<UINT>(last), entry.data(),
                         static_cast<int>(entry.size()), MF_BYPOSITION);
    EXPECT_EQ(std::wstring(entry.data()), tevra::win32::Widen("关于Tevra(&A)..."));
    EXPECT_NE(GetMenuState(menu, static_cast<UINT>(last - 1), MF_BYPOSITION) & MF_SEPARATOR, 0U);

    (void)PostMessageW(window, WM_SYSCOMMAND, tevra::res::IDM_ABOUTBOX, 0);
    HWND about = WaitForWindow(thread, tevra::res::AboutBoxTemplate().caption);
    ASSERT_NE(about, nullptr);
    ExpectTable(about, tevra::res::AboutBoxTemplate());
    EXPECT_NE(SendMessageW(GetWindow(about, GW_CHILD), STM_GETICON, 0, 0), 0);
    Click(about, IDOK);
    EXPECT_TRUE(WaitFor([&] { return IsWindow(about) == FALSE; }));
    EXPECT_EQ(LogOf(window), L"");
  });
}

// The port map the system keeps: a port it names is described by its
// device; one it does not know is "no device". (Wine has no device manager
// ports to show; its map holds what the prefix links.)
TEST(PortNamesTest, DescribesWhatTheSystemKnows) {
  EXPECT_EQ(tevra::win32::PortNames::ComNumber(L"COM3"), 3U);
  EXPECT_EQ(tevra::win32::PortNames::ComNumber(L"com12"), 12U);
  for (const wchar_t* other : {L"COM", L"COM0", L"COM03", L"COM3x", L"LPT1", L"COM99999"}) {
    EXPECT_FALSE(tevra::win32::PortNames::ComNumber(other)) << other;
  }
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, 0,
                            KEY_READ | KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::wstring port = L"COM11";
  ASSERT_EQ(RegSetValueExW(key, L"\\Device\\TevraTest", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(port.c_str()),
                           static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  const tevra::win32::PortNames names = tevra::win32::PortNames::OfThisSystem();
  (void)RegDeleteValueW(key, L"\\Device\\TevraTest");
  (void)RegCloseKey(key);
  EXPECT_EQ(names.Describe(11), L"\\Device\\TevraTest");
  EXPECT_EQ(names.Describe(12), L"no device");
}

}  // namespace
