#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tevra {

// What the command line asks for.
struct CommandLine {
  enum class Action { kDownload, kHelp, kVersion, kLicenses, kGrantAccess };

  Action action = Action::kHelp;
  // "COMn" (n from 1 to 255, upper case) or an absolute device path, each once.
  std::vector<std::string> ports;
  std::uint32_t baud = 9600;
  std::chrono::seconds timeout{20};
  std::string report;  // --report FILE: each port's outcome appended as JSON; empty: none
  // --watch: also every adapter plugged in while it runs (no default port),
  // each flashed once per plug, --settle after it appeared; --count: end
  // after this many outcomes, the named ports' included, so never fewer
  // than they (0: until stopped).
  bool watch = false;
  std::chrono::milliseconds settle{1000};
  std::uint64_t count = 0;
  // --grant-access PORT: the port to ask access to; --always: also for
  // every adapter of its model from then on.
  std::string grantPort;
  bool always = false;
  // The silence that ends an answer; unset: the window's 100 ms.
  std::optional<std::chrono::milliseconds> quietGap;
};

// A command line that cannot be run; what() says why, in one line.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An option this system does not offer (--watch on Windows, ...): refused
// with what() alone, without the usage's hint.
class UnavailableOption : public UsageError {
 public:
  using UsageError::UsageError;
};

// Parses the arguments after the program name. Without --port the window's
// default port, COM3, is used (but with --watch). Throws UsageError, or
// UnavailableOption for an option of another system.
CommandLine ParseCommandLine(std::span<const std::string_view> args);

// The text --help prints.
std::string UsageText();

}  // namespace tevra
