#include "platform/program_arguments.h"

#include <cstddef>
#include <span>

namespace tevra {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  const std::span<char*> all(argv, static_cast<std::size_t>(argc));
  std::vector<std::string> args;
  for (std::size_t i = 1; i < all.size(); ++i) {
    args.emplace_back(all[i]);
  }
  return args;
}

}  // namespace tevra
