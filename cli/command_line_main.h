#pragma once

namespace tevra {

// Whether the arguments are the command line's: any that starts with "--"
// (or -h). Without one, the window opens and Qt takes the arguments
// (-platform NAME, ...).
bool WantsCommandLine(int argc, char** argv);

// tevra-updater --download, --help, --version; anything else of the form
// --option is refused with the usage. Returns the exit status (see
// exit_status.h).
int CommandLineMain(int argc, char** argv);

}  // namespace tevra
