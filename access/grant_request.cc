#include "access/grant_request.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <array>
#include <cerrno>

#include "access/serial_node.h"
#include "access/trusted_program.h"
#include "platform/diagnostics.h"
#include "platform/unique_fd.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX names it so

namespace tevra {
namespace {

// The step's own statuses (access/port_grant.h).
constexpr int kStepRefused = 2;
// pkexec's.
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecCannotAsk = 127;

// readlink's mark on /proc/self/exe once the file was replaced or deleted.
constexpr std::string_view kDeleted = " (deleted)";

// The installed updater, whose path the package's polkit action names.
constexpr char kInstalledUpdater[] = TEVRA_INSTALLED_UPDATER;

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::vector<std::string> GrantRequest::Arguments() const {
  if (program.empty()) {
    return {kPkexec, kSetfacl, "-m", "u:" + std::to_string(uid) + ":rw", device};
  }
  std::vector<std::string> args{kPkexec, program, "--grant-port", device};
  if (always) {
    args.emplace_back("--always");
  }
  return args;
}

GrantPlan PlanGrant(const std::string& self, const std::string& device, bool always) {
  GrantPlan plan;
  TrustedProgram installed = TrustedProgram::Check(kInstalledUpdater);
  if (installed.trusted()) {
    plan.request = GrantRequest{installed.path, device, always, ::getuid()};
    return plan;
  }
  if (self.ends_with(kDeleted)) {
    plan.cause = "this updater's file was replaced or deleted since it started";
  } else if (TrustedProgram own = TrustedProgram::Check(self); own.trusted()) {
    plan.request = GrantRequest{own.path, device, always, ::getuid()};
    return plan;
  } else {
    plan.cause = "root may not run this updater's file: " + own.cause;
  }
  SerialNode node;
  if (const std::optional<GrantError> error = SerialNode::Open(device, node)) {
    plan.refusal = IsRefusal(error->fault) ? GrantResult::kRefused : GrantResult::kFailed;
    plan.cause = Describe(*error);
    return plan;
  }
  const std::optional<UsbModel> model = node.FindUsbModel();
  plan.lasts = GrantLasts(model.has_value());
  if (always) {
    if (!model) {
      plan.refusal = GrantResult::kRefused;
      plan.cause = Describe(GrantError{GrantFault::kNoUsbIds, 0, node.devPath()});
    } else {
      plan.cause += "; only the installed updater may add a rule for every adapter of a model";
      plan.ruleCommands = ModelRuleCommands(*model, node.name());
    }
    return plan;
  }
  if (!TrustedProgram::Check(kSetfacl).trusted()) {
    plan.cause += std::string("; ") + kSetfacl + " (the acl package) is not installed";
    return plan;
  }
  plan.request = GrantRequest{{}, node.devPath(), false, ::getuid()};
  return plan;
}

GrantResult GrantResultOf(const GrantRequest& request, int exitStatus, std::string_view said) {
  switch (exitStatus) {
    case 0:
      return GrantResult::kGranted;
    case kPkexecNotAuthorized:
      return GrantResult::kNotAuthorized;
    case kPkexecCannotAsk:
      // pkexec's one status for "no", "could not ask" and "could not run".
      if (said.find("Not authorized") != std::string_view::npos) {
        return GrantResult::kNotAuthorized;
      }
      if (!Exists(request.program.empty() ? kSetfacl : request.program)) {
        return GrantResult::kProgramChanged;
      }
      return GrantResult::kCannotAsk;
    case kStepRefused:
      if (!request.program.empty()) {
        return GrantResult::kRefused;
      }
      [[fallthrough]];
    default:
      return GrantResult::kFailed;
  }
}

std::string Describe(GrantResult result) {
  switch (result) {
    case GrantResult::kGranted:
      return "access granted";
    case GrantResult::kNoPkexec:
      return "pkexec (polkit) is not installed, so no password prompt can be shown";
    case GrantResult::kNotAuthorized:
      return "the password prompt was refused or dismissed";
    case GrantResult::kCannotAsk:
      return "polkit could not ask for a password here (no authentication agent in this "
             "session, or no polkit service running)";
    case GrantResult::kRefused:
      return "the device is not one that may be granted (a console, or not a serial adapter's "
             "node), so no access was granted";
    case GrantResult::kFailed:
      return "the grant failed";
    case GrantResult::kProgramChanged:
      return "the program to run was replaced or deleted on disk meanwhile, so nothing was granted";
    case GrantResult::kNotAsked:
      return "no password prompt was shown: this updater may not ask for it";
  }
  return {};
}

GrantResult RunGrant(const GrantRequest& request) {
  std::vector<std::string> args = request.Arguments();
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  std::array<int, 2> ends{-1, -1};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
    return GrantResult::kFailed;
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) {
    return GrantResult::kFailed;
  }
  ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
  pid_t child = -1;
  // pkexec cleans the environment itself; it needs the session's to find
  // the desktop's agent, and asks on the terminal (/dev/tty) when there is none.
  const int spawned = ::posix_spawnp(&child, kPkexec, &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  (void)writeEnd.Close();  // the child holds its copy
  if (spawned == ENOENT) {
    return GrantResult::kNoPkexec;
  }
  if (spawned != 0) {
    errno = spawned;
    return GrantResult::kFailed;
  }
  // Its lines end when it does: the read ends with its last descriptor.
  std::string said;
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t n = ::read(readEnd.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    said.append(chunk.data(), static_cast<std::size_t>(n));
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return GrantResult::kFailed;
    }
  }
  DiagnosePkexec(said);
  return WIFEXITED(status) ? GrantResultOf(request, WEXITSTATUS(status), said)
                           : GrantResult::kFailed;
}

void DiagnosePkexec(std::string_view said) {
  while (!said.empty()) {
    const std::size_t end = said.find('\n');
    const std::string_view line = said.substr(0, end);
    // The step's own lines (access/port_grant.h) pass through pkexec as they are.
    constexpr std::string_view kStep = "tevra-updater: ";
    if (line.starts_with(kStep)) {
      Diagnose(Printable(line.substr(kStep.size())));
    } else if (!line.empty()) {
      Diagnose("pkexec: " + Printable(line));
    }
    said = end == std::string_view::npos ? std::string_view() : said.substr(end + 1);
  }
}

}  // namespace tevra
