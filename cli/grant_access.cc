#include "cli/grant_access.h"

#include "access/grant_request.h"
#include "cli/exit_status.h"
#include "payload/payload_paths.h"
#include "platform/diagnostics.h"
#include "platform/port_access.h"
#include "platform/port_resolver.h"

namespace tevra {
namespace {

std::string Label(const std::string& port, const std::string& node) {
  return port == node ? Printable(port) : Printable(port) + " (" + Printable(node) + ")";
}

// The terminal's commands, when polkit could not do it.
void DiagnoseCommands(const std::string& label, const PortAccess& access) {
  if (const std::string now = access.ThisTimeCommand(); !now.empty()) {
    Diagnose(label + ": for this time, in a terminal: " + now);
  }
  if (const std::string lasting = access.ForGood(); !lasting.empty()) {
    Diagnose(label + ": for good: " + lasting);
  }
}

}  // namespace

void DiagnoseWaysOut(const std::string& label, const std::string& port, const std::string& device) {
  const PortAccess access = ExaminePortAccess(device);
  if (access.verdict == PortAccess::Verdict::kAllowed ||
      access.verdict == PortAccess::Verdict::kMissing) {
    return;
  }
  const std::string self = SelfExecutablePath();
  Diagnose(label + ": for this time: " + Printable(self.empty() ? "tevra-updater" : self) +
           " --grant-access " + Printable(port) + " (asks for an administrator's password)");
  if (const std::string lasting = access.ForGood(); !lasting.empty()) {
    Diagnose(label + ": for good: " + lasting);
  }
}

int GrantAccess(const std::string& port, bool always) {
  const PortResolver::Resolved resolved = PortResolver::ForThisUser().Resolve(port);
  if (resolved.path.empty()) {
    Diagnose(Printable(port) + ": " + resolved.cause);
    return ToInt(ExitStatus::kPortNotOpened);
  }
  const PortAccess before = ExaminePortAccess(resolved.path);
  const std::string label = Label(port, before.node);
  if (before.verdict == PortAccess::Verdict::kMissing) {
    Diagnose(label + ": no such device");
    return ToInt(ExitStatus::kPortNotOpened);
  }
  if (before.verdict == PortAccess::Verdict::kAllowed && !always) {
    Diagnose(label + ": you may use it already; nothing to grant");
    return ToInt(ExitStatus::kSuccess);
  }
  const std::string self = SelfExecutablePath();
  const GrantResult result =
      self.empty() ? GrantResult::kFailed : RunGrant({self, before.node, always});
  if (result == GrantResult::kGranted) {
    return ToInt(ExitStatus::kSuccess);
  }
  Diagnose(label + ": " + Describe(result));
  if (result == GrantResult::kRefused) {
    return ToInt(ExitStatus::kUsage);
  }
  DiagnoseCommands(label, before);
  return ToInt(ExitStatus::kPortNotOpened);
}

}  // namespace tevra
