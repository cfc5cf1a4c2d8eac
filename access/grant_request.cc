#include "access/grant_request.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX names it so

namespace tevra {
namespace {

// The step's own statuses (access/port_grant.h).
constexpr int kStepRefused = 2;
// pkexec's.
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecCannotAsk = 127;

}  // namespace

std::vector<std::string> GrantRequest::Arguments() const {
  std::vector<std::string> args{kPkexec, program, "--grant-port", device};
  if (always) {
    args.emplace_back("--always");
  }
  return args;
}

GrantResult GrantResultOf(int exitStatus) {
  switch (exitStatus) {
    case 0:
      return GrantResult::kGranted;
    case kStepRefused:
      return GrantResult::kRefused;
    case kPkexecNotAuthorized:
    case kPkexecCannotAsk:
      return GrantResult::kNotAuthorized;
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
  return WIFEXITED(status) ? GrantResultOf(WEXITSTATUS(status)) : GrantResult::kFailed;
}

}  // namespace tevra
