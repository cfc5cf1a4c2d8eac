#pragma once

#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tevra {

// What the window module links against, made ready before it is loaded. The
// package build uses the system's Qt and has nothing to do
// (window_libraries_system.cc). The portable build carries Qt and the
// libraries a desktop may lack (carried_libraries.cc): it unpacks them once
// into the user's cache, checks them and loads them by descriptor, leaves
// first, so that the module binds to them and to nothing of a system Qt.
struct WindowLibraries {
  std::string pluginDirectory;  // Qt's only plugin directory; empty: Qt's default
  std::string fontDirectory;    // fonts for text no system font covers; empty: none
  std::string problem;          // why the window cannot start; empty when ready
  // Open while the window runs: a library loaded as /proc/self/fd/N would
  // otherwise be what a later dlopen of that name gets once N is reused.
  std::vector<UniqueFd> loadedFrom;
};

WindowLibraries PrepareWindowLibraries();

// The notices of everything this build carries; empty when it carries none.
std::string CarriedLicenses();

}  // namespace tevra
