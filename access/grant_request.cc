#include "access/grant_request.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "access/serial_node.h"
#include "access/trusted_program.h"

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

GrantResult GrantResultOf(const GrantRequest& request, int exitStatus) {
  switch (exitStatus) {
    case 0:
      return GrantResult::kGranted;
    case kPkexecNotAuthorized:
      return GrantResult::kNotAuthorized;
    case kPkexecCannotAsk:
      // pkexec also gives 127 when the program is gone.
      return Exists(request.program.empty() ? kSetfacl : request.program)
                 ? GrantResult::kNotAuthorized
                 : GrantResult::kProgramChanged;
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
      return "the password prompt was refused or dismissed, or none could be shown";
    case GrantResult::kRefused:
      return "the device is not a serial adapter's node, so no access was granted";
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
  pid_t child = -1;
  // pkexec cleans the environment itself; it needs the session's to find
  // the desktop's agent and the terminal.
  const int spawned = ::posix_spawnp(&child, kPkexec, nullptr, nullptr, argv.data(), environ);
  if (spawned == ENOENT) {
    return GrantResult::kNoPkexec;
  }
  if (spawned != 0) {
    errno = spawned;
    return GrantResult::kFailed;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return GrantResult::kFailed;
    }
  }
  return WIFEXITED(status) ? GrantResultOf(request, WEXITSTATUS(status)) : GrantResult::kFailed;
}

}  // namespace tevra
