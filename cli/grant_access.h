#pragma once

#include <string>

namespace tevra {

// `tevra-updater --grant-access COMn|PATH [--always]`: from a terminal, what
// the window's "Allow access" button does. Resolves the name as this user,
// then asks polkit (pkexec, whose text prompt asks for the password) to run
// this updater's --grant-port on the device node. Returns the exit status:
// 0 granted (or nothing to grant), 2 the step refused the device, 4 the port
// does not exist or nothing was granted (no pkexec, the prompt refused, the
// grant failed); then the commands for a terminal are printed instead.
int GrantAccess(const std::string& port, bool always);

// The two ways out for a user who may not use `device`, one line each,
// through Diagnose, prefixed with `label`: this time (`--grant-access`
// with this updater's own path and `port`), and for good (the group);
// nothing when the user may use it.
void DiagnoseWaysOut(const std::string& label, const std::string& port, const std::string& device);

}  // namespace tevra
