// The package build: the window uses the system's Qt as the loader finds it.
#include "app/window_libraries.h"

namespace tevra {

WindowLibraries PrepareWindowLibraries() {
  return {};
}

std::string CarriedLicenses() {
  return {};
}

}  // namespace tevra
