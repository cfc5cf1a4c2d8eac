#pragma once

namespace tevra {

// The Windows program is a window program: started from a Command Prompt or
// PowerShell it has no console of its own, and its standard handles are
// those it was given, if any. For the command line, each standard output
// that was given a file or a pipe stays as it is (a script's redirection
// always wins); one that was given nothing writes to the console of the
// process that started the updater, when it has one. The updater is
// attached to that console either way, so Ctrl+C and its closing reach it. Started from the desktop
// (no console anywhere), nothing changes: the lines go nowhere, the exit status stays. Call once,
// before anything is written.
void UseStartingConsole();

// The console's output modes as they were, put back when this ends: the
// live rows turn on virtual terminal processing, which the shell the user
// goes back to did not ask for.
class ConsoleModesKept {
 public:
  ConsoleModesKept();
  ConsoleModesKept(const ConsoleModesKept&) = delete;
  ConsoleModesKept& operator=(const ConsoleModesKept&) = delete;
  ~ConsoleModesKept();

  struct Kept {
    void* handle = nullptr;  // HANDLE of a console output; null when none
    unsigned long mode = 0;
  };

 private:
  Kept out_;
  Kept err_;
};

}  // namespace tevra
