#include "res/string_table.h"

#include <array>
#include <utility>

#include "res/resource.h"

namespace tevra::res {

namespace {

constexpr std::array<std::pair<int, std::string_view>, 1> kStrings = {{
    {IDS_ABOUTBOX, "关于Tevra(&A)..."},
}};

}  // namespace

std::string_view LoadResString(int id) {
  for (const auto& [stringId, text] : kStrings) {
    if (stringId == id) {
      return text;
    }
  }
  return {};
}

}  // namespace tevra::res
