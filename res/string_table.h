#pragma once

#include <string_view>

namespace tevra::res {

// The string resource with the given id (UTF-8), or an empty view when the
// table has none, as a failed load gives.
std::string_view LoadResString(int id);

}  // namespace tevra::res
