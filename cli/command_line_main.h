#pragma once

namespace tevra {

// Whether the arguments are the command line's rather than the window's
// (see WantsCommandLine in window_options.h).
bool WantsCommandLine(int argc, char** argv);

// tevra-updater --download, --help, --version; anything else is refused with
// the usage. Returns the exit status (see exit_status.h).
int CommandLineMain(int argc, char** argv);

}  // namespace tevra
