// dongle-sim: a simulated dongle on a pseudo-terminal published as COMn, on
// a virtual machine's adapter socket, or on an existing tty.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "sim/dongle_simulator.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::uint32_t kMaxBaud = 4'000'000;
constexpr std::size_t kMaxGarbage = 65536;
constexpr int kMaxPort = 9999;

constexpr const char* kUsage =
    "usage: dongle-sim (--port COMn | --socket PATH | --tty PATH) [options]\n"
    "Simulates the dongle on a pseudo-terminal linked as COMn in the ports directory\n"
    "(or at the device end of a socket or a tty) and prints one line per event it\n"
    "sees. Runs until SIGINT or SIGTERM.\n"
    "\n"
    "  --port COMn               the port to publish, COM1 to COM9999 (a bare number works)\n"
    "  --socket PATH             be the device behind a unix socket that a serial or\n"
    "                            USB-serial adapter of a virtual machine listens on\n"
    "                            (e.g. QEMU's -chardev socket,server=on); no link\n"
    "  --tty PATH                be the device on an existing tty, e.g. a USB gadget's\n"
    "                            /dev/ttyGS0; settings the tty refuses are left; no link\n"
    "  --ports-dir DIR           where the link goes (default: $TEVRA_PORTS_DIR, else\n"
    "                            ${XDG_CONFIG_HOME:-$HOME/.config}/tevra-updater/ports)\n"
    "  --image FILE              write the received image here after every block and on exit\n"
    "  --baud N                  the line rate for --pace (default 9600)\n"
    "  --pace                    send answers at the line's rate, 11 bits a byte\n"
    "  --ignore-erase N          ignore the first N erase commands\n"
    "  --stop-after-block K      acknowledge block K, then answer nothing more\n"
    "  --hangup-after-block K    acknowledge block K, then hang the line up (with\n"
    "                            --socket or --tty: close the device end)\n"
    "  --drop-block K            store block K and echo it, but never send its\n"
    "                            acceptance (50 00), then answer nothing more: a device\n"
    "                            that resets on its last block (--stop-after-block K-1\n"
    "                            differs: it leaves header K unanswered)\n"
    "  --garbage BYTES           send garbage bursts of this many bytes, before the first\n"
    "                            answered erase and after every 32nd block\n"
    "  --garbage-every K         with --garbage: a burst after every K-th block instead\n"
    "  --answer-pause MS         pause MS before the last byte of every answer: a device\n"
    "                            whose answers an updater's shorter quiet gap cuts\n"
    "  --flood                   a stuck device: take no command, stream 130-byte records\n"
    "                            with 50 02 at 0, B0 B1 B2 at 5 and 50 00 at 128 back to\n"
    "                            back, never pausing (with --pace at the line's rate,\n"
    "                            else as fast as the line takes them); no other fault\n"
    "  --help, -h                show this text\n";

class UsageError {
 public:
  explicit UsageError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

template <typename T>
T ParseNumber(std::string_view option, std::string_view text, T min, T max) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) {
    throw UsageError(std::string(option) + " wants a whole number from " + std::to_string(min) +
                     " to " + std::to_string(max) + ", not \"" + std::string(text) + "\"");
  }
  return value;
}

int ParsePort(std::string_view text) {
  std::string_view digits = text;
  if (digits.size() > 3 && (digits.substr(0, 3) == "COM" || digits.substr(0, 3) == "com")) {
    digits.remove_prefix(3);
  }
  try {
    return ParseNumber<int>("--port", digits, 1, kMaxPort);
  } catch (const UsageError&) {
    throw UsageError("--port wants COM1 to COM" + std::to_string(kMaxPort) + ", not \"" +
                     std::string(text) + "\"");
  }
}

struct Arguments {
  tevra::sim::DongleOptions options;
  bool help = false;
};

Arguments Parse(const std::vector<std::string_view>& args) {
  Arguments a;
  bool havePort = false;
  bool haveBaud = false;
  int lines = 0;  // how many lines were given to be the device of
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view opt = args[i];
    if (opt == "--help" || opt == "-h") {
      a.help = true;
      return a;
    }
    if (opt == "--pace" || opt == "--flood") {
      (opt == "--pace" ? a.options.pace : a.options.flood) = true;
      continue;
    }
    const bool takesValue =
        opt == "--port" || opt == "--socket" || opt == "--tty" || opt == "--ports-dir" ||
        opt == "--image" || opt == "--baud" || opt == "--ignore-erase" ||
        opt == "--stop-after-block" || opt == "--hangup-after-block" || opt == "--garbage" ||
        opt == "--garbage-every" || opt == "--drop-block" || opt == "--answer-pause";
    if (!takesValue) {
      throw UsageError("unknown option \"" + std::string(opt) + "\" (try --help)");
    }
    if (i + 1 >= args.size()) {
      throw UsageError(std::string(opt) + " needs a value");
    }
    const std::string_view value = args[++i];
    if (opt == "--port") {
      a.options.port = ParsePort(value);
      havePort = true;
    } else if (opt == "--ports-dir" || opt == "--image" || opt == "--socket" || opt == "--tty") {
      if (value.empty()) {
        throw UsageError(std::string(opt) + " needs a non-empty path");
      }
      std::string& path = opt == "--image"    ? a.options.imagePath
                          : opt == "--socket" ? a.options.socketPath
                          : opt == "--tty"    ? a.options.ttyPath
                                              : a.options.portsDir;
      path = std::string(value);
      lines += opt == "--socket" || opt == "--tty" ? 1 : 0;
    } else if (opt == "--baud") {
      a.options.baud = ParseNumber<std::uint32_t>(opt, value, 1, kMaxBaud);
      haveBaud = true;
    } else if (opt == "--ignore-erase") {
      a.options.ignoreErase = ParseNumber<int>(opt, value, 0, std::numeric_limits<int>::max());
    } else if (opt == "--stop-after-block") {
      a.options.stopAfterBlock = ParseNumber<int>(opt, value, 1, std::numeric_limits<int>::max());
    } else if (opt == "--hangup-after-block") {
      a.options.hangupAfterBlock = ParseNumber<int>(opt, value, 1, std::numeric_limits<int>::max());
    } else if (opt == "--drop-block") {
      a.options.dropBlock = ParseNumber<int>(opt, value, 1, std::numeric_limits<int>::max());
    } else if (opt == "--answer-pause") {
      a.options.answerPauseMs = ParseNumber<int>(opt, value, 1, 60000);
    } else if (opt == "--garbage") {
      a.options.garbage = ParseNumber<std::size_t>(opt, value, 1, kMaxGarbage);
    } else {
      a.options.garbageEveryBlocks =
          ParseNumber<int>(opt, value, 1, std::numeric_limits<int>::max());
    }
  }
  lines += havePort ? 1 : 0;
  if (lines != 1) {
    throw UsageError("give exactly one of --port COMn, --socket PATH, --tty PATH (try --help)");
  }
  if (!havePort && !a.options.portsDir.empty()) {
    throw UsageError("--ports-dir only applies with --port");
  }
  if (a.options.flood && a.options.AnswerFault()) {
    throw UsageError("--flood answers nothing, so it takes no other fault");
  }
  if (haveBaud && !a.options.pace) {
    throw UsageError("--baud only applies with --pace");
  }
  return a;
}

std::mutex gOutput;

void PrintLine(const std::string& line) {
  const std::lock_guard<std::mutex> lock(gOutput);
  std::cout << line << std::endl;  // flushed at once: people and scripts follow it live
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  Arguments parsed;
  try {
    parsed = Parse(args);
  } catch (const UsageError& e) {
    std::cerr << "dongle-sim: " << e.message() << std::endl;
    return kExitUsage;
  }
  if (parsed.help) {
    std::cout << kUsage;
    return kExitOk;
  }

  // Blocked before the simulator's thread exists, so it inherits the mask and
  // only sigwait below ever takes these signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (const int err = pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); err != 0) {
    std::cerr << "dongle-sim: cannot block signals: " << std::generic_category().message(err)
              << std::endl;
    return kExitFailure;
  }

  tevra::sim::DongleSimulator sim(parsed.options, PrintLine);
  std::string error;
  if (!sim.Start(&error)) {
    const bool published = parsed.options.socketPath.empty() && parsed.options.ttyPath.empty();
    std::cerr << "dongle-sim: "
              << (published ? "cannot publish COM" + std::to_string(parsed.options.port)
                            : std::string("cannot be the device"))
              << ": " << error << std::endl;
    return kExitFailure;
  }
  if (parsed.options.socketPath.empty() && parsed.options.ttyPath.empty()) {
    PrintLine("COM" + std::to_string(parsed.options.port) + " -> " + sim.SlavePath());
  } else {
    PrintLine("device on " + sim.SlavePath());
  }

  int received = 0;
  if (const int err = sigwait(&stopSignals, &received); err != 0) {
    std::cerr << "dongle-sim: sigwait: " << std::generic_category().message(err) << std::endl;
  }
  sim.Stop();
  const tevra::sim::DongleStats stats = sim.Stats();
  if (!stats.imageError.empty()) {
    std::cerr << "dongle-sim: the image was not saved: " << stats.imageError << std::endl;
    return kExitFailure;
  }
  PrintLine("stopped");
  return kExitOk;
}
