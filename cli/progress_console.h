#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tevra {

// What a headless download shows, one row per port. Live (a terminal): each
// row is one line redrawn in place, cut to the terminal's width, and events
// only change what the row says. Plain (a pipe or file): no escape codes,
// one line per event and per 10 % step. Closing lines are printed either way.
class ProgressConsole {
 public:
  ProgressConsole(int out, int err, bool live);

  // For `out`: live when it is a terminal that understands cursor movement.
  static bool WantsLive(int out);

  std::size_t AddRow(std::string port);
  void SetDevice(std::size_t row, std::string device);
  // Something happened on the port (opened, erased, ...).
  void Event(std::size_t row, const std::string& text);
  // bytesPerSecond 0: not known yet.
  void Progress(std::size_t row, std::uint32_t done, std::uint32_t total, double bytesPerSecond);
  // The port's outcome; the row shows nothing else afterwards.
  void Finish(std::size_t row, const std::string& text);
  // One line to the error output, kept clear of the live rows.
  void Diagnostic(const std::string& line);
  // Live: draws every row again (rates and times change without events).
  void Redraw();

  bool live() const { return live_; }

 private:
  struct Row {
    std::string port;
    std::string device;
    std::string text;  // what the live line shows after port and device
    int decile = 0;    // the last 10 % step printed, plain mode
    bool finished = false;
  };

  std::string Prefix(const Row& row) const;
  void Print(const std::string& line);
  void EraseLive();

  int out_;
  int err_;
  bool live_;
  bool outBroken_ = false;  // the reader went away: stop writing
  std::size_t drawn_ = 0;   // live rows currently on the screen
  std::vector<Row> rows_;
};

}  // namespace tevra
