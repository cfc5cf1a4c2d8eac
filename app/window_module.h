#pragma once

namespace tevra {

// The updater's window lives in a shared module that the build places inside
// tevra-updater itself. Only the window's path loads it (from a memory file,
// so nothing is written to disk and the updater stays one self-contained
// file); running without a window never maps Qt.
class WindowModule {
 public:
  // Loads the module and runs the window; returns its exit status. When the
  // module cannot be loaded, writes one line with the cause to stderr,
  // repeats it as a desktop notification and returns kLoadFailed.
  static int Run(int argc, char** argv);

  static constexpr int kLoadFailed = 1;
};

}  // namespace tevra
