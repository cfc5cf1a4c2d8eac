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
    Diagnose(label + ": for this time, in a terminal: " + Printable(now));
  }
  if (const std::string lasting = access.ForGood(); !lasting.empty()) {
    Diagnose(label + ": for good: " + Printable(lasting));
  }
}

}  // namespace

void DiagnoseWaysOut(const std::string& label, const std::string& port, const std::string& device) {
  const PortAccess access = ExaminePortAccess(device);
  if (access.verdict == PortAccess::Verdict::kAllowed ||
      access.verdict == PortAccess::Verdict::kMissing) {
    return;
  }
  if (!access.noGrant.empty()) {
    Diagnose(label + ": no grant can help: " + access.noGrant);
  } else {
    const std::string self = SelfExecutablePath();
    Diagnose(label + ": for this time: " + Printable(self.empty() ? "tevra-updater" : self) +
             " --grant-access " + Printable(port) + " (asks for an administrator's password)");
  }
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
  if (!before.noGrant.empty()) {
    Diagnose(label + ": no grant can help: " + before.noGrant);
    DiagnoseCommands(label, before);
    return ToInt(ExitStatus::kUsage);
  }
  const GrantPlan plan = PlanGrant(SelfExecutablePath(), before.node, always);
  if (!plan.request) {
    Diagnose(label + ": " + Printable(plan.cause));
    if (plan.refusal == GrantResult::kRefused) {
      return ToInt(ExitStatus::kUsage);
    }
    Diagnose(label + ": " + Describe(plan.refusal));
    for (const std::string& command : plan.ruleCommands) {
      Diagnose((label + ": for every adapter of this model, in a terminal: ").append(command));
    }
    DiagnoseCommands(label, before);
    return ToInt(ExitStatus::kPortNotOpened);
  }
  if (!plan.cause.empty()) {
    Diagnose(label + ": " + Printable(plan.cause) + "; asking for " + kSetfacl +
             " for this time only");
  }
  const GrantResult result = RunGrant(*plan.request);
  if (result == GrantResult::kGranted && plan.request->program.empty()) {
    // setfacl says nothing; the step says this itself.
    if (ExaminePortAccess(before.node).verdict != PortAccess::Verdict::kAllowed) {
      Diagnose(label + ": setfacl succeeded, yet you still may not use it");
      DiagnoseCommands(label, before);
      return ToInt(ExitStatus::kPortNotOpened);
    }
    Diagnose(label + ": you (" + Printable(before.user) + ") may read and write it " + plan.lasts);
  }
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
