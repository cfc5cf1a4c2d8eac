#pragma once

#include <sys/types.h>

#include <string>

namespace tevra {

// Why this process may or may not read and write a device node, as the
// system has it: the node's owner, group and mode, the user, and whether the
// user database lists the user in the node's group while this process lacks
// it (a session that began before the user joined). Nothing is opened:
// opening a serial port toggles DTR, which resets some boards.
struct PortAccess {
  enum class Verdict {
    kAllowed,            // access(R_OK | W_OK) succeeds
    kMissing,            // no such node (or it cannot be looked at)
    kNotInGroup,         // the group may use it; the user is not in that group
    kGroupNotInSession,  // the user is in the group, this session is not yet
    kOwnerOnly,          // the group may not use it either; a grant is the only way
  };

  Verdict verdict = Verdict::kMissing;
  std::string node;   // the device node, links followed
  std::string owner;  // user name, or the number when it has none
  std::string group;  // group name, or the number
  mode_t mode = 0;    // permission bits only
  std::string user;   // this process's user name, or its number
  uid_t uid = 0;
  // Why no access list can be granted on the node (empty when one can): a
  // pseudo-terminal (every simulator's port), or a file system without them.
  std::string noGrant;

  // "root:dialout 0660"
  std::string Ownership() const;
  // Why the user may not use it, in one line ("/dev/ttyUSB0 is root:dialout
  // 0660 and you (ann) are not in the dialout group"); empty when allowed.
  std::string Why() const;
  // The lasting way out, in one line ("sudo usermod -aG dialout ann, then
  // log out and in again: the group counts from the next login"); empty
  // when there is none (allowed, missing, or only the owner may use it).
  std::string ForGood() const;
  // The command of that way ("sudo usermod -aG dialout ann"); empty when
  // the user is in the group already, or none helps.
  std::string ForGoodCommand() const;
  // A terminal's way for this time only ("sudo setfacl -m u:ann:rw
  // /dev/ttyUSB0"); empty when allowed or missing, or when noGrant says why
  // none can work.
  std::string ThisTimeCommand() const;
};

// Looks at `path` (links followed) as this process sees it.
PortAccess ExaminePortAccess(const std::string& path);

}  // namespace tevra
