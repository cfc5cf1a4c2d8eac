#include "cli/command_line_main.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "cli/descriptor_limit.h"
#include "cli/exit_status.h"
#include "cli/grant_access.h"
#include "cli/headless_run.h"
#include "cli/port_targets.h"
#include "cli/window_options.h"
#include "platform/diagnostics.h"
#include "platform/fd_io.h"

namespace tevra {
namespace {

bool Write(int fd, const std::string& text) {
  return WriteAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

int UsageFailure(const UsageError& error) {
  Diagnose(error.what());
  (void)Write(STDERR_FILENO, "\n" + UsageText());  // the status says it already
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
      return Print("tevra-updater " + std::string(version) + "\n");
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
