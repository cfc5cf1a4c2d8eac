#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console_writer.h"

namespace tevra {

// What a headless download shows, one row per port. Live (a terminal): each
// running port's row is one line redrawn in place, cut to the terminal's
// width, and events only change what the row says. Plain (a pipe or file):
// no escape codes, one line per event and per 10 % step. Either way a port's
// closing line is printed once, above the live rows.
//
// Nothing here waits for the output (see ConsoleWriter): a paused terminal
// or a pipe nobody reads never stalls the caller. When the output is
// behind, redraws collapse into one and progress lines are skipped; events
// and causes are kept unless they flood it, closing lines always. While the console exists
// it is the diagnostic sink (platform/diagnostics.h), so causes that worker
// threads report come out between whole rows; create it before the ports'
// workers start and destroy it after they have ended. Every member may be
// called from any thread. Control characters in anything shown (port
// names, devices, texts) are escaped with Printable(); text escaped already
// is shown as it is.
class ProgressConsole {
 public:
  // How long the output may take nothing at the end before the lines still
  // held are given up (a terminal paused with Ctrl-S, a reader that stopped).
  static constexpr std::chrono::seconds kFlushStall{10};

  ProgressConsole(int out, int err, bool live);
  ProgressConsole(const ProgressConsole&) = delete;
  ProgressConsole& operator=(const ProgressConsole&) = delete;
  // Stops being the sink and flushes (kFlushStall).
  ~ProgressConsole();

  // For `out`: live when it is a terminal that understands cursor movement.
  static bool WantsLive(int out);

  std::size_t AddRow(std::string_view port);
  void SetDevice(std::size_t row, std::string_view device);
  // Something happened on the port (opened, erased, ...).
  void Event(std::size_t row, const std::string& text);
  // bytesPerSecond 0: not known yet.
  void Progress(std::size_t row, std::uint32_t done, std::uint32_t total, double bytesPerSecond);
  // The port's outcome, its closing line; the row shows nothing else
  // afterwards. Never dropped.
  void Finish(std::size_t row, const std::string& text);
  // A line of the run's own on the output (the firmware it sends, a
  // watch's tally), above the live rows. Never dropped.
  void Line(const std::string& text);
  // One line to the error output ("tevra-updater: " in front), kept clear
  // of the live rows.
  void Diagnostic(std::string_view line);
  // Live: a line under the rows (a watch's tally); empty for none.
  void SetFooter(const std::string& text);
  // Live: draws every row again (rates and times change without events).
  void Redraw();
  // Waits until everything shown so far is written, giving up once the
  // output has taken nothing for `stall`; true when all is out.
  bool Flush(std::chrono::milliseconds stall = kFlushStall);

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
  // The live rows, for the writer.
  std::vector<std::string> Frame();

  int out_;
  bool live_;
  std::mutex mutex_;
  std::vector<Row> rows_;
  std::string footer_;
  ConsoleWriter writer_;  // last: its thread stops before the rows go
};

}  // namespace tevra
