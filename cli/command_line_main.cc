#include "cli/command_line_main.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/bundled_payload.h"
#include "cli/command_line.h"
#include "cli/console_stream.h"
#include "cli/descriptor_limit.h"
#include "cli/exit_status.h"
#include "cli/grant_access.h"
#include "cli/headless_run.h"
#include "cli/port_targets.h"
#include "cli/window_options.h"
#include "payload/payload_paths.h"
#include "platform/diagnostics.h"

namespace tevra {
namespace {

bool Write(int fd, const std::string& text) {
  ConsoleStream out(fd);
  return out.Write(text);
}

// The one line, and where the options are: the error stays on the screen.
// An option of another system is said in its line alone.
int UsageFailure(const UsageError& error) {
  Diagnose(error.what());
  if (dynamic_cast<const UnavailableOption*>(&error) != nullptr) {
    return ToInt(ExitStatus::kUsage);
  }
  Diagnose("see 'tevra-updater --help' for the options");
  return ToInt(ExitStatus::kUsage);
}

// --help and --version: their text, or exit status 1 when it cannot be written.
int Print(const std::string& text) {
  if (!Write(STDOUT_FILENO, text)) {
    Diagnose(std::string("cannot write to standard output: ") +
             std::strerror(errno));  // NOLINT(concurrency-mt-unsafe): one thread
    return ToInt(ExitStatus::kInternal);
  }
  return ToInt(ExitStatus::kSuccess);
}

// What --version says of the firmware this file carries.
std::string FirmwareLine() {
  const BundledPayload payload(SelfExecutablePath());
  if (payload.valid()) {
    const std::string sha256 = payload.Sha256Hex();
    return "firmware: " + std::to_string(payload.length()) + " bytes, sha256 " +
           (sha256.empty() ? "unreadable: " + std::string(std::strerror(errno))  // NOLINT
                           : sha256) +
           "\n";
  }
  if (payload.carriesNone()) {
    return "firmware: none: this file carries none (tevra-bundle pack puts it in)\n";
  }
  return "firmware: " + payload.error() + "\n";
}

int Download(const CommandLine& line, std::string_view version) {
  // Failing to raise is no error by itself: the check below says whether it matters.
  (void)RaiseDescriptorLimit();
  std::vector<PortTarget> targets;
  try {
    targets = ResolvePortTargets(line.ports);
  } catch (const UsageError& e) {
    return UsageFailure(e);
  }
  if (const std::optional<std::string> shortfall = DescriptorShortfall(targets.size())) {
    Diagnose(*shortfall);
    return ToInt(ExitStatus::kInternal);
  }
  return HeadlessRun(line, std::move(targets), version).Run();
}

}  // namespace

bool WantsCommandLine(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return WantsCommandLine(args);
}

int CommandLineMain(int argc, char** argv, std::string_view version,
                    std::string (*carriedLicenses)()) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  CommandLine line;
  try {
    line = ParseCommandLine(args);
  } catch (const UsageError& e) {
    return UsageFailure(e);
  }
  switch (line.action) {
    case CommandLine::Action::kHelp:
      return Print(UsageText());
    case CommandLine::Action::kVersion:
      return Print("tevra-updater " + std::string(version) + "\n" + FirmwareLine());
    case CommandLine::Action::kLicenses: {
      const std::string text = carriedLicenses();
      return Print(
          text.empty()
              ? "This tevra-updater carries no third-party libraries: it uses the system's.\n"
              : text);
    }
    case CommandLine::Action::kGrantAccess:
      return GrantAccess(line.grantPort, line.always);
    case CommandLine::Action::kDownload:
      break;
  }
  return Download(line, version);
}

}  // namespace tevra
