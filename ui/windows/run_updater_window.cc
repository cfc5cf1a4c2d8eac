#include "ui/windows/run_updater_window.h"

#include <utility>

#include "ui/windows/updater_window.h"

namespace tevra {

int RunUpdaterWindow(std::string payloadSource) {
  win32::UpdaterWindow window(std::move(payloadSource));
  return window.Run() ? 0 : 1;
}

}  // namespace tevra
