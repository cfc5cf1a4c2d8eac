#include "cli/progress_console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fd_io.h"

namespace tevra {
namespace {

constexpr std::size_t kFallbackWidth = 80;

std::string Rate(double bytesPerSecond) {
  std::array<char, 32> text{};
  if (bytesPerSecond >= 1000) {
    (void)std::snprintf(text.data(), text.size(), "%.1f kB/s", bytesPerSecond / 1000);
  } else {
    (void)std::snprintf(text.data(), text.size(), "%.0f B/s", bytesPerSecond);
  }
  return text.data();
}

std::string Duration(double seconds) {
  const long long whole = std::llround(seconds);
  std::array<char, 32> text{};
  (void)std::snprintf(text.data(), text.size(), "%lld:%02lld", whole / 60, whole % 60);
  return text.data();
}

int Percent(std::uint32_t done, std::uint32_t total) {
  return total == 0 ? 100 : static_cast<int>(std::uint64_t{done} * 100 / total);
}

std::size_t TerminalWidth(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  return kFallbackWidth;
}

}  // namespace

ProgressConsole::ProgressConsole(int out, int err, bool live) : out_(out), err_(err), live_(live) {}

bool ProgressConsole::WantsLive(int out) {
  const char* term = std::getenv("TERM");  // NOLINT(concurrency-mt-unsafe): read-only
  return ::isatty(out) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0;
}

std::size_t ProgressConsole::AddRow(std::string port) {
  rows_.push_back(Row{std::move(port), {}, "waiting", 0, false});
  return rows_.size() - 1;
}

void ProgressConsole::SetDevice(std::size_t row, std::string device) {
  rows_.at(row).device = std::move(device);
}

std::string ProgressConsole::Prefix(const Row& row) const {
  if (live_) {
    return row.device.empty() || row.device == row.port ? row.port + "  "
                                                        : row.port + "  " + row.device + "  ";
  }
  return row.port + ": ";
}

void ProgressConsole::Event(std::size_t row, const std::string& text) {
  Row& r = rows_.at(row);
  r.text = text;
  if (!live_) {
    Print(Prefix(r) + text + "\n");
  }
}

void ProgressConsole::Progress(std::size_t row, std::uint32_t done, std::uint32_t total,
                               double bytesPerSecond) {
  Row& r = rows_.at(row);
  const int percent = Percent(done, total);
  if (!live_) {
    if (percent / 10 > r.decile) {
      r.decile = percent / 10;
      Print(Prefix(r) + std::to_string(percent) + "% (" + std::to_string(done) + " of " +
            std::to_string(total) + " bytes)\n");
    }
    return;
  }
  r.text = std::to_string(percent) + "%  " + std::to_string(done) + "/" + std::to_string(total) +
           " bytes";
  if (bytesPerSecond > 0) {
    r.text += "  " + Rate(bytesPerSecond) + "  " +
              Duration(static_cast<double>(total - done) / bytesPerSecond) + " left";
  }
}

void ProgressConsole::Finish(std::size_t row, const std::string& text) {
  Row& r = rows_.at(row);
  r.finished = true;
  r.text = text;
  if (!live_) {
    Print(r.port + ": " + text + "\n");
  }
}

void ProgressConsole::Diagnostic(const std::string& line) {
  EraseLive();
  const std::string text = "tevra-updater: " + line + "\n";
  (void)WriteAll(err_, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  Redraw();
}

void ProgressConsole::Redraw() {
  if (!live_) {
    return;
  }
  const std::size_t width = TerminalWidth(out_);
  std::string screen;
  if (drawn_ > 0) {
    screen += "\x1b[" + std::to_string(drawn_) + "A";
  }
  std::size_t lines = 0;
  for (const Row& r : rows_) {
    // A live line is cut to the width, so it never wraps; a closing line is
    // kept whole and counted by the lines it takes.
    std::string line = r.finished ? r.port + ": " + r.text : Prefix(r) + r.text;
    if (!r.finished && line.size() >= width) {
      line.resize(width - 1);
    }
    lines += line.empty() ? 1 : (line.size() + width - 1) / width;
    screen += "\r\x1b[2K" + line + "\n";
  }
  drawn_ = lines;
  Print(screen);
}

void ProgressConsole::EraseLive() {
  if (live_ && drawn_ > 0) {
    Print("\x1b[" + std::to_string(drawn_) + "A\r\x1b[J");
    drawn_ = 0;
  }
}

void ProgressConsole::Print(const std::string& text) {
  if (outBroken_) {
    return;
  }
  if (!WriteAll(out_, reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) {
    outBroken_ = true;
  }
}

}  // namespace tevra
