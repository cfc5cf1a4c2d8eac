#include "app/windows_window.h"

#include "cli/exit_status.h"
#include "platform/diagnostics.h"

namespace tevra {

// A build without the window still downloads from the command line.
int RunWindow() {
  Diagnose("the window is not built");
  return ToInt(ExitStatus::kInternal);
}

}  // namespace tevra
