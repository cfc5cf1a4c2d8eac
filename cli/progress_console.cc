#include "cli/progress_console.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <optional>

#include "cli/console_stream.h"
#include "platform/diagnostics.h"

namespace tevra {
namespace {

using Stream = ConsoleWriter::Stream;
using Keep = ConsoleWriter::Keep;

constexpr std::size_t kFallbackWidth = 80;

// text as Printable() shows it; text that needs nothing but its backslashes
// doubled is escaped already, or harmless, and stays as it is.
std::string Shown(std::string_view text) {
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find('\\', start), text.size());
    const std::string_view piece = text.substr(start, end - start);
    if (Printable(piece) != piece) {
      return Printable(text);
    }
    start = end + 1;
  }
  return std::string(text);
}

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

// Cut to fit `columns` (a byte a column), never inside a UTF-8 sequence.
void Cut(std::string& line, std::size_t columns) {
  if (line.size() <= columns) {
    return;
  }
  std::size_t end = columns;
  while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0U) == 0x80U) {
    --end;
  }
  line.resize(end);
}

}  // namespace

ProgressConsole::ProgressConsole(int out, int err, bool live)
    : out_(out),
      live_(live),
      writer_(out, err,
              live ? ConsoleWriter::Frame([this] { return Frame(); }) : ConsoleWriter::Frame()) {
  // Called by any thread; the contract above keeps `this` alive meanwhile.
  SetDiagnosticSink([this](std::string_view line) { Diagnostic(line); });
}

ProgressConsole::~ProgressConsole() {
  SetDiagnosticSink({});
  (void)Flush();
}

bool ProgressConsole::WantsLive(int out) {
  return ConsoleStream::IsLiveTerminal(out);
}

std::size_t ProgressConsole::AddRow(std::string_view port) {
  const std::lock_guard lock(mutex_);
  rows_.push_back(Row{Shown(port), {}, "waiting", 0, false});
  return rows_.size() - 1;
}

void ProgressConsole::SetDevice(std::size_t row, std::string_view device) {
  const std::lock_guard lock(mutex_);
  rows_.at(row).device = Shown(device);
}

std::string ProgressConsole::Prefix(const Row& row) const {
  if (live_) {
    return row.device.empty() || row.device == row.port ? row.port + "  "
                                                        : row.port + "  " + row.device + "  ";
  }
  return row.port + ": ";
}

void ProgressConsole::Event(std::size_t row, const std::string& text) {
  std::string line;
  {
    const std::lock_guard lock(mutex_);
    Row& r = rows_.at(row);
    r.text = Shown(text);
    if (live_ || r.finished) {
      return;
    }
    line = Prefix(r) + r.text + "\n";
  }
  writer_.Write(Stream::kOut, std::move(line), Keep::kUnlessFlooded);
}

void ProgressConsole::Progress(std::size_t row, std::uint32_t done, std::uint32_t total,
                               double bytesPerSecond) {
  const int percent = Percent(done, total);
  std::string line;
  {
    const std::lock_guard lock(mutex_);
    Row& r = rows_.at(row);
    if (r.finished) {
      return;
    }
    if (live_) {
      r.text = std::to_string(percent) + "%  " + std::to_string(done) + "/" +
               std::to_string(total) + " bytes";
      if (bytesPerSecond > 0) {
        r.text += "  " + Rate(bytesPerSecond) + "  " +
                  Duration(static_cast<double>(total - done) / bytesPerSecond) + " left";
      }
      return;
    }
    if (percent / 10 <= r.decile) {
      return;
    }
    r.decile = percent / 10;
    line = Prefix(r) + std::to_string(percent) + "% (" + std::to_string(done) + " of " +
           std::to_string(total) + " bytes)\n";
  }
  writer_.Write(Stream::kOut, std::move(line), Keep::kIfCurrent);
}

void ProgressConsole::Finish(std::size_t row, const std::string& text) {
  std::string line;
  {
    const std::lock_guard lock(mutex_);
    Row& r = rows_.at(row);
    if (r.finished) {
      return;
    }
    r.finished = true;
    r.text = Shown(text);
    line = r.port + ": " + r.text + "\n";
  }
  writer_.Write(Stream::kOut, std::move(line), Keep::kAlways);
}

void ProgressConsole::Line(const std::string& text) {
  writer_.Write(Stream::kOut, Shown(text) + "\n", Keep::kAlways);
}

void ProgressConsole::Diagnostic(std::string_view line) {
  writer_.Write(Stream::kErr, "tevra-updater: " + Shown(line) + "\n", Keep::kUnlessFlooded);
}

void ProgressConsole::SetFooter(const std::string& text) {
  const std::lock_guard lock(mutex_);
  footer_ = Shown(text);
}

void ProgressConsole::Redraw() {
  if (live_) {
    writer_.RequestRedraw();
  }
}

bool ProgressConsole::Flush(std::chrono::milliseconds stall) {
  return writer_.Flush(stall);
}

std::vector<std::string> ProgressConsole::Frame() {
  const std::optional<ConsoleStream::Size> size = ConsoleStream::TerminalSize(out_);
  const std::size_t width = size ? size->columns : kFallbackWidth;
  // One line is left for the cursor, so the rows never scroll out of reach
  // of the redraw.
  const std::size_t height = size ? size->rows : 0;
  const std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  std::size_t running = 0;
  for (const Row& r : rows_) {
    running += r.finished ? 0 : 1;
  }
  const std::size_t footer = footer_.empty() ? 0 : 1;
  const std::size_t room =
      height == 0 ? running : std::max<std::size_t>(height, 3 + footer) - 2 - footer;
  for (const Row& r : rows_) {
    if (r.finished) {
      continue;
    }
    if (running > room + 1 && lines.size() == room) {
      lines.push_back("... and " + std::to_string(running - room) + " more ports");
      break;
    }
    lines.push_back(Prefix(r) + r.text);
    Cut(lines.back(), width - 1);
  }
  if (footer != 0) {
    lines.push_back(footer_);
    Cut(lines.back(), width - 1);
  }
  return lines;
}

}  // namespace tevra
