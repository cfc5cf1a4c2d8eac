#include "cli/command_line_main.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/build_info.h"
#include "cli/command_line.h"
#include "cli/exit_status.h"
#include "cli/headless_download.h"

namespace tevra {
namespace {

void Write(std::FILE* stream, const std::string& text) {
  (void)std::fwrite(text.data(), 1, text.size(), stream);
  (void)std::fflush(stream);
}

}  // namespace

bool WantsCommandLine(int argc, char** argv) {
  return std::any_of(argv + 1, argv + argc, [](const char* arg) {
    const std::string_view a(arg);
    return a.rfind("--", 0) == 0 || a == "-h";
  });
}

int CommandLineMain(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  CommandLine line;
  try {
    line = ParseCommandLine(args);
  } catch (const UsageError& e) {
    Write(stderr, std::string("tevra-updater: ") + e.what() + "\n\n" + UsageText());
    return ToInt(ExitStatus::kUsage);
  }
  switch (line.action) {
    case CommandLine::Action::kHelp:
      Write(stdout, UsageText());
      return ToInt(ExitStatus::kSuccess);
    case CommandLine::Action::kVersion:
      Write(stdout, std::string("tevra-updater ") + kProgramVersion + "\n");
      return ToInt(ExitStatus::kSuccess);
    case CommandLine::Action::kDownload:
      break;
  }
  return HeadlessDownload(line).Run();
}

}  // namespace tevra
