#include "platform/diagnostics.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <utility>

namespace tevra {
namespace {

constexpr std::string_view kProgramPrefix = "tevra-updater: ";

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(std::string_view)>& Sink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}

void WriteStderr(std::string_view line) {
  std::string text;
  text.reserve(kProgramPrefix.size() + line.size() + 1);
  text.append(kProgramPrefix).append(line).push_back('\n');
  std::size_t done = 0;
  while (done < text.size()) {
    // A count that fits write's on every system (unsigned int on Windows).
    const auto left = static_cast<unsigned>(std::min<std::size_t>(text.size() - done, 1U << 30));
    const ssize_t n = ::write(STDERR_FILENO, text.data() + done, left);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;  // nowhere left to say it
    }
    done += static_cast<std::size_t>(n);
  }
}

// A C1 control (U+0080..U+009F) is the two bytes C2 80..C2 9F.
bool IsC1(std::string_view text, std::size_t i, std::size_t length) {
  return length == 2 && static_cast<std::uint8_t>(text[i + 1]) <= 0x9F;
}

}  // namespace

void Diagnose(std::string_view line) {
  std::function<void(std::string_view)> sink;
  {
    const std::lock_guard lock(SinkMutex());
    sink = Sink();
  }
  if (sink) {
    sink(line);
  } else {
    WriteStderr(line);
  }
}

void SetDiagnosticSink(std::function<void(std::string_view line)> sink) {
  const std::lock_guard lock(SinkMutex());
  Sink() = std::move(sink);
}

std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto lead = static_cast<std::uint8_t>(text[i]);
  std::size_t length = 0;
  std::uint32_t min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) {
    return 0;
  }
  std::uint32_t code = lead & (0x7FU >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<std::uint8_t>(text[i + k]);
    if ((next & 0xC0U) != 0x80U) {
      return 0;
    }
    code = (code << 6U) | (next & 0x3FU);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (code < min || code > 0x10FFFF || surrogate) {
    return 0;
  }
  return length;
}

// Windows writes its paths with backslashes and allows no control
// character in a file name: doubled, every path it shows would mislead.
#if defined(_WIN32)
constexpr bool kDoubleBackslash = false;
#else
constexpr bool kDoubleBackslash = true;
#endif

std::string Printable(std::string_view text) {
  static constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    if (c == '\\') {
      out += kDoubleBackslash ? "\\\\" : "\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (const std::size_t length = c >= 0x80 ? Utf8SequenceLength(text, i) : 0;
               length != 0 && !IsC1(text, i, length)) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    } else {
      out += "\\x";
      out += kHex.at(c >> 4U);
      out += kHex.at(c & 0xFU);
    }
    ++i;
  }
  return out;
}

}  // namespace tevra
