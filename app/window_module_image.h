#pragma once

#include <span>

namespace tevra {

// The window module as the build embedded it (a complete shared object).
std::span<const unsigned char> WindowModuleImage();

}  // namespace tevra
