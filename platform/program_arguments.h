#pragma once

#include <string>
#include <vector>

namespace tevra {

// The program's arguments after its name, as UTF-8. On Linux argv as
// given; on Windows argv is in the ANSI code page, which loses what it
// cannot represent, so they come from the UTF-16 command line instead.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace tevra
