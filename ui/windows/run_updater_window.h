#pragma once

#include <string>

namespace tevra {

// Runs the updater window until the user closes it: the Windows program's
// window mode. payloadSource: the file that carries the payload, the
// program's own file when empty. Returns the process's exit status: 0, or 1
// when the window could not be shown (the cause on standard error). The
// program must carry tevra_win_resources (the icon, the manifest).
int RunUpdaterWindow(std::string payloadSource = {});

}  // namespace tevra
