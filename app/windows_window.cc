#include "app/windows_window.h"

#include "ui/windows/updater_window.h"

namespace tevra {

int RunWindow() {
  return RunUpdaterWindow();
}

}  // namespace tevra
