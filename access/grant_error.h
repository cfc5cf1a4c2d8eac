#pragma once

#include <string>

namespace tevra {

// Why --grant-port did not grant. Up to kNoUsbIds the step refuses before it
// changes anything (exit status 2); from kAclRead on it failed while acting
// (exit status 1).
enum class GrantFault {
  kNotRoot,
  kNoUser,
  kBadUid,
  kRootUser,
  kUnknownUser,
  kNotUnderDev,
  kMissing,
  kLink,
  kNotDevice,
  kCannotOpen,
  kNotTty,
  kConsole,
  kConsoleUnknown,
  kNoDevice,
  kNoUart,
  kNoUsbIds,
  kAclRead,
  kAclUnknown,
  kAclWrite,
  kAclNotThere,
  kRuleWrite,
};

// A fault, the errno behind it (0 when none) and what it concerns: the
// device's path, the user id as given, or the rule file.
struct GrantError {
  GrantFault fault;
  int err = 0;
  std::string subject;
};

bool IsRefusal(GrantFault fault);
// The one line a person reads, without the program's name.
std::string Describe(const GrantError& error);

}  // namespace tevra
