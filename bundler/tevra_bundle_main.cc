#include <cstddef>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "bundler/bundle.h"
#include "platform/program_arguments.h"
#include "platform/user_directory.h"

namespace {

// A carried updater named without a folder lies beside tevra-bundle itself,
// as a Windows vendor unpacks both programs together.
std::string Carried(const std::string& name) {
  if (name.find_first_of("/\\") != std::string::npos) {
    return name;
  }
  const std::string self = tevra::OwnProgramPath();
  const std::size_t separator = self.find_last_of("/\\");
  return separator == std::string::npos ? name : self.substr(0, separator + 1) + name;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> given = tevra::ProgramArguments(argc, argv);
  const std::vector<std::string_view> args(given.begin(), given.end());
  const tevra::CarriedUpdaters carried{Carried(TEVRA_PORTABLE_UPDATER),
                                       Carried(TEVRA_WINDOWS_UPDATER)};
  return tevra::RunBundleTool(args, carried, std::cout, std::cerr);
}
