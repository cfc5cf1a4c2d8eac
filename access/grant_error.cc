#include "access/grant_error.h"

#include <cstring>

#include "access/grant_rule.h"

namespace tevra {

bool IsRefusal(GrantFault fault) {
  return fault < GrantFault::kAclRead;
}

std::string Describe(const GrantError& error) {
  const std::string& s = error.subject;
  std::string text;
  switch (error.fault) {
    case GrantFault::kNotRoot:
      text = "must run as root, through pkexec or sudo";
      break;
    case GrantFault::kNoUser:
      text = "no user to grant to: run it through pkexec or sudo";
      break;
    case GrantFault::kBadUid:
      text = "the user id from pkexec or sudo is not a number: \"" + s + "\"";
      break;
    case GrantFault::kRootUser:
      text = "root needs no grant";
      break;
    case GrantFault::kUnknownUser:
      text = "no user has the id " + s;
      break;
    case GrantFault::kNotUnderDev:
      text = "\"" + s + "\" is not a device node directly in /dev";
      break;
    case GrantFault::kMissing:
      text = s + " does not exist";
      break;
    case GrantFault::kLink:
      text = s + " is a symbolic link; name the device node itself";
      break;
    case GrantFault::kNotDevice:
      text = s + " is not a character device";
      break;
    case GrantFault::kCannotOpen:
      text = "cannot look at " + s;
      break;
    case GrantFault::kNotTty:
      text = s + " is not the serial port the kernel knows by that name";
      break;
    case GrantFault::kConsole:
      text = s + " is a console: whoever may read it reads what is typed there, logins included";
      break;
    case GrantFault::kConsoleUnknown:
      text = "cannot tell whether " + s + " is a console (" + kActiveConsoles + ")";
      break;
    case GrantFault::kNoDevice:
      text = s + " is not a serial adapter (a terminal or pseudo-terminal)";
      break;
    case GrantFault::kNoUart:
      text = s + " is a serial port slot without a UART";
      break;
    case GrantFault::kNoUsbIds:
      text = s + " is not a USB adapter: --always needs its USB vendor and product id";
      break;
    case GrantFault::kAclRead:
      text = "cannot read the access list of " + s;
      break;
    case GrantFault::kAclUnknown:
      text = "the access list of " + s + " is in a form this updater does not know";
      break;
    case GrantFault::kAclWrite:
      text = "cannot write the access list of " + s;
      break;
    case GrantFault::kAclNotThere:
      text = "the access list of " + s + " does not let the user read and write after writing it";
      break;
    case GrantFault::kRuleWrite:
      text = "cannot write " + s;
      break;
  }
  if (error.err != 0) {
    text += ": ";
    text += std::strerror(error.err);  // NOLINT(concurrency-mt-unsafe): one thread
  }
  return text;
}

}  // namespace tevra
