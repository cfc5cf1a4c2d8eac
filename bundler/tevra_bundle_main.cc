#include <cstddef>
#include <iostream>
#include <span>
#include <string_view>
#include <vector>

#include "bundler/bundle.h"

int main(int argc, char** argv) {
  const std::span<char*> all(argv, static_cast<std::size_t>(argc));
  std::vector<std::string_view> args;
  for (std::size_t i = 1; i < all.size(); ++i) {
    args.emplace_back(all[i]);
  }
  return tevra::RunBundleTool(args, TEVRA_DEFAULT_UPDATER, std::cout, std::cerr);
}
