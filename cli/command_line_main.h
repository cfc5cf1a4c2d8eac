#pragma once

#include <string>
#include <string_view>

namespace tevra {

// Whether the arguments are the command line's rather than the window's
// (see WantsCommandLine in window_options.h).
bool WantsCommandLine(int argc, char** argv);

// tevra-updater --download, --help, --version, --licenses; anything else is
// refused with the usage. What only the program's top knows comes from it:
// its version (for --version and the report) and the notices
// carriedLicenses gives. Returns the exit status (see exit_status.h).
int CommandLineMain(int argc, char** argv, std::string_view version,
                    std::string (*carriedLicenses)());

}  // namespace tevra
