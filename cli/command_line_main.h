#pragma once

#include <string>

namespace tevra {

// Whether the arguments are the command line's rather than the window's
// (see WantsCommandLine in window_options.h).
bool WantsCommandLine(int argc, char** argv);

// tevra-updater --download, --help, --version, --licenses (the notices
// carriedLicenses gives, which only the program's top knows); anything else
// is refused with the usage. Returns the exit status (see exit_status.h).
int CommandLineMain(int argc, char** argv, std::string (*carriedLicenses)());

}  // namespace tevra
