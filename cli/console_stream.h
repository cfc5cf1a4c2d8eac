#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#if !defined(_WIN32)
#include <signal.h>
#endif

namespace tevra {

// One output of the console (standard output or error, or a terminal or
// pipe a test gives), written only by the console's writer.
//
// Linux: a duplicate of the descriptor (so a descriptor the caller closes is
// never written), written with write(2). Windows: a duplicate of the C
// runtime descriptor's handle; a console gets the text as UTF-16
// (WriteConsoleW), so it shows every character whatever its code page, and
// anything else (a file, a pipe) gets the UTF-8 bytes as they are.
class ConsoleStream {
 public:
  explicit ConsoleStream(int fd);
  ConsoleStream(const ConsoleStream&) = delete;
  ConsoleStream& operator=(const ConsoleStream&) = delete;
  ~ConsoleStream();

  // Writes all of text, waiting as long as the reader takes. False once
  // the reader or the terminal is gone; every later write is then false
  // at once. text never ends inside a UTF-8 sequence.
  bool Write(std::string_view text);

  // Whether fd is a terminal that draws live rows (cursor movement): Linux,
  // a tty with a TERM other than "dumb"; Windows, a console that takes
  // virtual terminal sequences (they are turned on for it).
  static bool IsLiveTerminal(int fd);
  struct Size {
    std::size_t columns = 0;
    std::size_t rows = 0;  // 0: unknown
  };
  // The terminal's size; none when fd is no terminal or does not say.
  static std::optional<Size> TerminalSize(int fd);

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;  // HANDLE
  bool console_ = false;
#else
  int fd_ = -1;
  bool own_ = false;
#endif
  bool broken_ = false;
};

// Blocks every signal in the calling thread while it lives, so a thread
// started meanwhile takes none: they stay with whoever waits for them.
// Windows has no such signals (its console's requests come on a thread of
// their own): nothing is done there.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked();
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;
  // NOLINTNEXTLINE(performance-trivially-destructible): it restores the mask on Linux
  ~AllSignalsBlocked();

 private:
#if !defined(_WIN32)
  sigset_t previous_{};
  bool masked_ = false;
#endif
};

}  // namespace tevra
