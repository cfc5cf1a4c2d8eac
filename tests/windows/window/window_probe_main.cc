// Reads and drives the updater window of another process by messages to its
// controls, as a test outside the program sees it:
//   window-probe wait-window CAPTION   waits until it shows and its thread has
//                                      drawn it; prints the ms waited
//   window-probe wait-log LINE         waits until LINE is the log's newest line
//   window-probe wait-enabled          waits until Download can be pressed
//   window-probe wait-progress N       waits until the bar stands at N or past it
//   window-probe state                 prints the log, progress and controls
//   window-probe close                 closes the window
// Each wait gives up after 120 s (status 1). Captions and lines are UTF-8.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "res/dialog_template.h"
#include "ui/windows/windows_api.h"
// clang-format off: after windows_api.h.
#include <commctrl.h>
// clang-format on

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kCap = std::chrono::seconds(120);
constexpr DWORD kTick = 50;

std::wstring Wide(std::string_view utf8) {
  std::wstring wide(utf8.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    wide.data(), static_cast<int>(wide.size()));
  wide.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return wide;
}

std::string Narrow(std::wstring_view wide) {
  std::string utf8(wide.size() * 3, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr);
  utf8.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return utf8;
}

std::wstring Text(HWND window) {
  const auto length = static_cast<std::size_t>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
  std::wstring text(length + 1, L'\0');
  const auto n = static_cast<std::size_t>(
      SendMessageW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data())));
  text.resize(n);
  return text;
}

HWND Window(const std::wstring& caption) {
  HWND window = FindWindowW(nullptr, caption.c_str());
  return window != nullptr && IsWindowVisible(window) != FALSE ? window : nullptr;
}

HWND MainWindow() {
  return Window(Wide(tevra::res::UpdaterDialogTemplate().caption));
}

std::wstring NewestLine(HWND window) {
  const std::wstring log = Text(GetDlgItem(window, tevra::res::IDC_LOG));
  return log.substr(0, log.find(L"\r\n"));
}

// Re-reads what another process shows until it holds: that process sends
// no notice here.
template <typename Check>
bool WaitFor(Check check) {
  const auto end = Clock::now() + kCap;
  while (!check()) {
    if (Clock::now() > end) {
      return false;
    }
    (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, kTick, QS_ALLINPUT);
  }
  return true;
}

int PrintState(HWND window) {
  const auto enabled = [&](int id) { return IsWindowEnabled(GetDlgItem(window, id)) != FALSE; };
  (void)std::printf("progress %ld\n", static_cast<long>(SendDlgItemMessageW(
                                          window, tevra::res::IDC_PROGRESS, PBM_GETPOS, 0, 0)));
  (void)std::printf("download %s\n", enabled(tevra::res::IDC_DOWNLOAD) ? "enabled" : "disabled");
  (void)std::printf("reader type %ld\n",
                    static_cast<long>(SendDlgItemMessageW(window, tevra::res::IDC_READER_TYPE,
                                                          CB_GETCURSEL, 0, 0)));
  (void)std::printf("log:\n%s", Narrow(Text(GetDlgItem(window, tevra::res::IDC_LOG))).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "wait-window" && argc == 3) {
    const std::wstring caption = Wide(argv[2]);
    const auto start = Clock::now();
    HWND shown = nullptr;
    if (!WaitFor([&] { return (shown = Window(caption)) != nullptr; })) {
      (void)std::fprintf(stderr, "window-probe: no window \"%s\"\n", argv[2]);
      return 1;
    }
    // A window paints once its thread's queue is otherwise empty: after two
    // round trips through that queue its first painting is over.
    for (int trip = 0; trip < 2; ++trip) {
      DWORD_PTR ignored = 0;
      (void)SendMessageTimeoutW(shown, WM_NULL, 0, 0, SMTO_BLOCK, 120000, &ignored);
    }
    (void)std::printf(
        "%lld\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
    return 0;
  }
  HWND window = MainWindow();
  if (window == nullptr) {
    (void)std::fprintf(stderr, "window-probe: the updater window is not there\n");
    return 1;
  }
  // A wait that gives up says what the window shows instead.
  const auto wait = [&](auto check) {
    if (WaitFor(check)) {
      return 0;
    }
    (void)std::fprintf(stderr, "window-probe: %s %s: not so after 120 s\n", argv[1],
                       argc > 2 ? argv[2] : "");
    return PrintState(window) + 1;
  };
  const auto position = [&] {
    return SendDlgItemMessageW(window, tevra::res::IDC_PROGRESS, PBM_GETPOS, 0, 0);
  };
  if (command == "wait-log" && argc == 3) {
    return wait([&, line = Wide(argv[2])] { return NewestLine(window) == line; });
  }
  if (command == "wait-enabled") {
    return wait(
        [&] { return IsWindowEnabled(GetDlgItem(window, tevra::res::IDC_DOWNLOAD)) != FALSE; });
  }
  if (command == "wait-progress" && argc == 3) {
    return wait([&, least = std::strtol(argv[2], nullptr, 10)] { return position() >= least; });
  }
  if (command == "state") {
    return PrintState(window);
  }
  if (command == "close") {
    return PostMessageW(window, WM_CLOSE, 0, 0) != FALSE ? 0 : 1;
  }
  (void)std::fprintf(
      stderr,
      "usage: window-probe wait-window CAPTION | wait-log LINE | wait-enabled |\n         "
      "      wait-progress N | state | close\n");
  return 2;
}
