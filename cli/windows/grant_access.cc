#include "cli/grant_access.h"

#include "cli/exit_status.h"
#include "platform/diagnostics.h"

namespace tevra {

// Windows lets every user open a serial port: there is nothing to grant,
// and the command line refuses --grant-access before it gets here.
int GrantAccess(const std::string& /*port*/, bool /*always*/) {
  Diagnose("--grant-access is for Linux only");
  return ToInt(ExitStatus::kUsage);
}

void DiagnoseWaysOut(const std::string& /*label*/, const std::string& /*port*/,
                     const std::string& /*device*/) {}

}  // namespace tevra
