#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tevra {

// Asks polkit, through pkexec, to grant this user read and write on one
// serial adapter's device node. Root is only ever asked to run a file no
// user but root can change (access/trusted_program.h): the installed
// updater's own step (`--grant-port DEVICE [--always]`, access/port_grant.h),
// whose polkit action names what is granted; failing that, for this time
// only, the system's own setfacl with the one entry, so the prompt shows
// exactly what will be done. pkexec shows the desktop's password prompt
// through its agent, or asks on the terminal when there is none; it passes
// the program's exit status on, or gives 126 (refused or dismissed) and 127
// (it could not ask, or could not run the program).
struct GrantRequest {
  std::string program;  // the updater whose step runs; empty: setfacl
  std::string device;   // the node, /dev/NAME, links already followed
  bool always = false;  // also a udev rule for the adapter's model (the step only)
  uid_t uid = 0;        // whose entry setfacl adds

  // pkexec's arguments (its own name first).
  std::vector<std::string> Arguments() const;
};

enum class GrantResult {
  kGranted,         // the step or setfacl granted it
  kNoPkexec,        // pkexec is not installed
  kNotAuthorized,   // the prompt was refused or dismissed, or polkit said no
  kCannotAsk,       // polkit could not ask: no authentication agent, no polkit service
  kRefused,         // a console or not an adapter's node: refused, by the step or before
  kFailed,          // the step or setfacl could not grant it, or pkexec did not run
  kProgramChanged,  // the program to run was replaced or deleted on disk meanwhile
  kNotAsked,        // no program root may run is at hand: only the commands help
};

// How a grant is asked for here: through the installed updater's step,
// through setfacl, or not at all (then `cause` says why, and a person runs
// the commands in a terminal).
struct GrantPlan {
  std::optional<GrantRequest> request;
  GrantResult refusal = GrantResult::kNotAsked;  // when there is no request
  std::string cause;                             // why not the step; why no request
  std::string lasts;                      // setfacl's grant: GrantLasts (access/serial_node.h)
  std::vector<std::string> ruleCommands;  // `always` without the step: the rule, by hand
};

// Chooses for `device` (links followed) and this user: the installed updater,
// else `self` when root may run either; without one, setfacl for this time
// once the node passes the step's own checks, and nothing for `always`.
GrantPlan PlanGrant(const std::string& self, const std::string& device, bool always);

// What pkexec's exit status, and what it wrote on standard error, say of
// the request.
GrantResult GrantResultOf(const GrantRequest& request, int exitStatus, std::string_view said);
// One line for a person ("the password prompt was dismissed or refused").
std::string Describe(GrantResult result);

// Runs pkexec on the request and waits for it. Its prompt uses this
// process's terminal; what it writes on standard error is passed on through
// Diagnose, a line each, as "pkexec: LINE".
GrantResult RunGrant(const GrantRequest& request);
// pkexec's own lines, each through Diagnose as "pkexec: LINE"; the step's
// ("tevra-updater: ...") as they are.
void DiagnosePkexec(std::string_view said);

// The command pkexec is looked up as, and the setfacl root runs.
inline constexpr char kPkexec[] = "pkexec";
inline constexpr char kSetfacl[] = "/usr/bin/setfacl";

}  // namespace tevra
