#pragma once

#include <string>
#include <vector>

namespace tevra {

// Asks polkit, through pkexec, to run this updater's privileged step
// (`--grant-port DEVICE [--always]`, access/port_grant.h) for one device
// node. pkexec shows the desktop's own password prompt through its agent,
// or asks on the terminal when there is none; it passes the step's exit
// status on, or gives 126 (refused or dismissed) and 127 (it could not ask).
struct GrantRequest {
  std::string program;  // this updater's absolute path
  std::string device;   // the node, /dev/NAME, links already followed
  bool always = false;  // also a udev rule for the adapter's model

  // pkexec's arguments (its own name first).
  std::vector<std::string> Arguments() const;
};

enum class GrantResult {
  kGranted,        // the step granted it
  kNoPkexec,       // pkexec is not installed
  kNotAuthorized,  // the prompt was refused or dismissed, or none could be shown
  kRefused,        // the step refused the device (not an adapter's node)
  kFailed,         // the step could not grant it, or pkexec did not run
};

// What pkexec's exit status says.
GrantResult GrantResultOf(int exitStatus);
// One line for a person ("the password prompt was dismissed or refused").
std::string Describe(GrantResult result);

// Runs pkexec on the request with this process's terminal and waits for it.
GrantResult RunGrant(const GrantRequest& request);

// The command pkexec is looked up as.
inline constexpr char kPkexec[] = "pkexec";

}  // namespace tevra
