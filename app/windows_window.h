#pragma once

namespace tevra {

// The updater window, until the user closes it; the exit status.
int RunWindow();

}  // namespace tevra
