#include "cli/command_line.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <charconv>

#include "cli/command_line_system.h"
#include "cli/window_options.h"
#include "download/download_session.h"
#include "platform/diagnostics.h"
#include "res/combo_lists.h"

namespace tevra {
namespace {

constexpr char kDefaultPort[] = "COM3";
constexpr std::int64_t kMaxTimeoutSeconds = std::int64_t{24} * 3600;
constexpr std::int64_t kMaxSettleMs = 60'000;
constexpr std::int64_t kMaxCount = 1'000'000'000;
constexpr std::int64_t kMaxQuietGapMs = 10000;

// The window's rates, comma-separated; with `wrapAt`, a line break and
// `indent` after that many rates.
std::string RateList(std::size_t wrapAt = 0, const std::string& indent = {}) {
  std::string list;
  for (std::size_t i = 0; i < res::kBaudRates.size(); ++i) {
    if (i > 0) {
      list += wrapAt != 0 && i % wrapAt == 0 ? ",\n" + indent : ", ";
    }
    list += res::kBaudRates.at(i);
  }
  return list;
}

std::string ParsePort(std::string_view text, std::string_view option = "--port") {
  return command_line_system::ParsePort(text, option);
}

std::uint32_t ParseBaud(std::string_view text) {
  for (std::size_t row = 0; row < res::kBaudRates.size(); ++row) {
    if (text == res::kBaudRates.at(row)) {
      return res::BaudRateForRow(static_cast<int>(row));
    }
  }
  throw UsageError("--baud wants one of " + RateList() + ", not \"" + Printable(text) + "\"");
}

// A whole number from `low` to `high`, said as `what` when refused
// ("--timeout wants whole seconds from 1 to 86400, not ...").
std::int64_t ParseWhole(std::string_view option, std::string_view text, std::int64_t low,
                        std::int64_t high, std::string_view what) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
      value > high) {
    throw UsageError(std::string(option) + " wants " + std::string(what) + " from " +
                     std::to_string(low) + " to " + std::to_string(high) + ", not \"" +
                     Printable(text) + "\"");
  }
  return value;
}

void CheckQuietGap(const CommandLine& line) {
  const std::chrono::milliseconds least = DownloadSession::MinQuietGap(line.baud);
  if (line.quietGap && *line.quietGap < least) {
    throw UsageError("--quiet-gap at " + std::to_string(line.baud) + " baud wants at least " +
                     std::to_string(least.count()) + " ms (two and a half characters' time), not " +
                     std::to_string(line.quietGap->count()));
  }
}

// The options, long ones as GNU has them: "--baud 9600" and "--baud=9600".
enum Option : int {
  kDownload = 256,
  kWatch,
  kSettle,
  kCount,
  kGrantAccess,
  kAlways,
  kVersion,
  kLicenses,
  kPort,
  kBaud,
  kTimeout,
  kReport,
  kQuietGap,
};
constexpr std::array<option, 15> kOptions = {{
    {"download", no_argument, nullptr, kDownload},
    {"watch", no_argument, nullptr, kWatch},
    {"settle", required_argument, nullptr, kSettle},
    {"count", required_argument, nullptr, kCount},
    {"grant-access", required_argument, nullptr, kGrantAccess},
    {"always", no_argument, nullptr, kAlways},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"licenses", no_argument, nullptr, kLicenses},
    {"port", required_argument, nullptr, kPort},
    {"baud", required_argument, nullptr, kBaud},
    {"timeout", required_argument, nullptr, kTimeout},
    {"report", required_argument, nullptr, kReport},
    {"quiet-gap", required_argument, nullptr, kQuietGap},
    {nullptr, 0, nullptr, 0},
}};
// '-': arguments that are no option come back in place; ':': a missing value
// is told apart from an unknown option.
constexpr char kShortOptions[] = "-:h";

std::string OptionName(int value) {
  for (const option& o : kOptions) {
    if (o.name != nullptr && o.val == value) {
      return std::string("--") + o.name;
    }
  }
  return "-h";
}

// Qt's options (and their values) out of the arguments, for getopt_long to
// read the rest; values of the updater's own options stay, whatever they are.
std::vector<std::string> WithoutWindowOptions(std::span<const std::string_view> args,
                                              std::string_view& windowOption) {
  std::vector<std::string> kept;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const bool takesValue = std::any_of(kOptions.begin(), kOptions.end(), [arg](const option& o) {
      return o.name != nullptr && o.has_arg == required_argument && arg.starts_with("--") &&
             arg.substr(2) == o.name;
    });
    if (takesValue && i + 1 < args.size()) {
      kept.emplace_back(arg);
      kept.emplace_back(args[++i]);
    } else if (const std::optional<int> values = QtOptionValues(arg)) {
      windowOption = windowOption.empty() ? arg : windowOption;
      i += static_cast<std::size_t>(*values);
    } else {
      kept.emplace_back(arg);
    }
  }
  return kept;
}

}  // namespace

CommandLine ParseCommandLine(std::span<const std::string_view> args) {
  CommandLine line;
  bool download = false;
  bool help = false;
  bool version = false;
  bool licenses = false;
  std::vector<std::string> downloadOnly;
  std::string_view windowOption;  // refused below, unless something else is wrong (said first)
  std::string watchOnly;          // --settle or --count
  std::vector<std::string> kept = WithoutWindowOptions(args, windowOption);
  kept.insert(kept.begin(), "tevra-updater");
  std::vector<char*> argv;
  argv.reserve(kept.size() + 1);
  for (std::string& arg : kept) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const int argc = static_cast<int>(kept.size());
  opterr = 0;
  optind = 0;  // GNU: starts afresh
  for (;;) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): parsed once, before any thread
    const int opt = getopt_long(argc, argv.data(), kShortOptions, kOptions.data(), nullptr);
    if (opt == -1) {
      // Only "--" stops getopt_long early here; nothing may follow it.
      if (optind < argc) {
        throw UsageError("unexpected argument \"" +
                         Printable(argv.at(static_cast<std::size_t>(optind))) + "\"");
      }
      break;
    }
    const std::string_view given = argv.at(static_cast<std::size_t>(optind - 1));
    const std::string name = OptionName(opt);
    const std::string_view value = optarg != nullptr ? optarg : "";
    if (const int which = opt == ':' ? optopt : opt; which >= kDownload) {
      if (std::optional<std::string> why = command_line_system::Unavailable(OptionName(which))) {
        throw UnavailableOption(*why);
      }
    }
    switch (opt) {
      case 1:
        throw UsageError("unexpected argument \"" + Printable(value) + "\"");
      case '?': {
        const bool shortOption = optopt > 0 && optopt < kDownload;
        throw UsageError("unknown option \"" +
                         Printable(shortOption ? "-" + std::string(1, static_cast<char>(optopt))
                                               : std::string(given)) +
                         "\"");
      }
      case ':':
        throw UsageError(optopt == kGrantAccess
                             ? "--grant-access needs a port (COMn or a device path)"
                             : OptionName(optopt) + " needs a value");
      case kDownload:
        download = true;
        break;
      case kWatch:
        line.watch = true;
        downloadOnly.push_back(name);
        break;
      case kSettle:
      case kCount:
        watchOnly = watchOnly.empty() ? name : watchOnly;
        downloadOnly.push_back(name);
        if (opt == kSettle) {
          line.settle =
              std::chrono::milliseconds(ParseWhole(name, value, 0, kMaxSettleMs, "a whole number"));
        } else {
          line.count =
              static_cast<std::uint64_t>(ParseWhole(name, value, 1, kMaxCount, "a whole number"));
        }
        break;
      case kGrantAccess:
        if (!line.grantPort.empty()) {
          throw UsageError("--grant-access is given twice");
        }
        line.grantPort = ParsePort(value, name);
        break;
      case kAlways:
        line.always = true;
        break;
      case 'h':
        help = true;
        break;
      case kVersion:
        version = true;
        break;
      case kLicenses:
        licenses = true;
        break;
      case kPort: {
        downloadOnly.push_back(name);
        std::string port = ParsePort(value);
        if (std::find(line.ports.begin(), line.ports.end(), port) != line.ports.end()) {
          throw UsageError("--port " + Printable(port) + " is given twice");
        }
        line.ports.push_back(std::move(port));
        break;
      }
      case kReport:
        downloadOnly.push_back(name);
        if (value.empty()) {
          throw UsageError("--report needs a file name");
        }
        line.report = value;
        break;
      case kBaud:
        downloadOnly.push_back(name);
        line.baud = ParseBaud(value);
        break;
      case kQuietGap:
        downloadOnly.push_back(name);
        // Checked against the rate once the whole line is read: --baud may come later.
        line.quietGap = std::chrono::milliseconds(
            ParseWhole(name, value, 1, kMaxQuietGapMs, "whole milliseconds"));
        break;
      default:  // kTimeout
        downloadOnly.push_back(name);
        line.timeout =
            std::chrono::seconds(ParseWhole(name, value, 1, kMaxTimeoutSeconds, "whole seconds"));
        break;
    }
  }
  if (!windowOption.empty()) {
    throw UsageError("\"" + Printable(windowOption) +
                     "\" is an option of the window; it does not go with --download, --help or "
                     "--version");
  }
  if (!line.grantPort.empty() && (download || !downloadOnly.empty())) {
    throw UsageError("--grant-access goes alone (with --always at most)");
  }
  if (line.always && line.grantPort.empty()) {
    throw UsageError("--always only goes with --grant-access");
  }
  if (help) {
    line.action = CommandLine::Action::kHelp;
  } else if (version) {
    line.action = CommandLine::Action::kVersion;
  } else if (licenses) {
    line.action = CommandLine::Action::kLicenses;
  } else if (!line.grantPort.empty()) {
    line.action = CommandLine::Action::kGrantAccess;
    return line;
  } else if (download) {
    line.action = CommandLine::Action::kDownload;
  } else {
    throw UsageError(downloadOnly.empty() ? "nothing to do"
                                          : downloadOnly.front() + " only goes with --download");
  }
  if (!watchOnly.empty() && !line.watch && line.action == CommandLine::Action::kDownload) {
    throw UsageError(std::string(watchOnly) + " only goes with --watch");
  }
  CheckQuietGap(line);
  // Named ports count among a station's outcomes, and every one is flashed.
  if (line.count != 0 && line.count < line.ports.size()) {
    throw UsageError("--count " + std::to_string(line.count) + " is fewer than the " +
                     std::to_string(line.ports.size()) +
                     " ports named with --port, which count among its outcomes");
  }
  if (line.ports.empty() && !line.watch) {
    line.ports.emplace_back(kDefaultPort);
  }
  return line;
}

std::string UsageText() {
  namespace sys = command_line_system;
  return sys::UsageHead() +
         "--download writes the firmware this updater carries into the device on each port,\n"
         "all ports at once, without a window, and exits once every device has acknowledged\n"
         "its last block or failed.\n"
         "\n" +
         sys::UsagePort() +
         "  --baud RATE         the line's rate, one of (default: 9600)\n"
         "                      " +
         RateList(8, "                      ") +
         "\n"
         "  --timeout SECONDS   fail a port whose device sends nothing for this long, or\n"
         "                      whose answer is later than this plus its line time\n"
         "                      (default: 20)\n"
         "  --quiet-gap MS      the silence that ends a device's answer, in whole ms, from\n"
         "                      two and a half characters' time at the rate (3 at 9600,\n"
         "                      1 at 115200) to 10000 (default: 100); only for devices that\n"
         "                      answer each command in one burst: try it on one device\n"
         "  --report FILE       append one JSON line per port to FILE (a regular file):\n"
         "                      time, port, device, USB ids and strings, the firmware's\n"
         "                      size and SHA-256, result, cause, seconds, blocks; each\n"
         "                      line is on disk before the port's closing line shows\n" +
         sys::UsageMiddle() +
         "  --version           print the version and exit\n"
         "  --help, -h          show this text and exit\n" +
         sys::UsageLicenses() + sys::UsageTail();
}

}  // namespace tevra
