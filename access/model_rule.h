#pragma once

#include <optional>
#include <string>
#include <vector>

#include "access/grant_error.h"

namespace tevra {

// A USB adapter model: vendor and product id, 4 lower-case hex digits each.
struct UsbModel {
  std::string vendor;
  std::string product;
};

// /etc/udev/rules.d/70-tevra-updater-VVVV-PPPP.rules: one file per model.
std::string ModelRulePath(const UsbModel& model);

// The rule's one line: the model's ttys are tagged "uaccess".
std::string ModelRuleLine(const UsbModel& model);
// What a person types to write that rule and apply it to /sys/class/tty/NAME
// by hand, one command each.
std::vector<std::string> ModelRuleCommands(const UsbModel& model, const std::string& name);

// Writes the rule that tags the model's tty "uaccess" (logind then gives
// the user at the desk access whenever one is plugged in), atomically, mode
// 0644 whatever the umask. 70 sorts before systemd's 73-seat-late.rules,
// which acts on the tag.
std::optional<GrantError> WriteModelRule(const UsbModel& model);

// Has udev reload its rules and apply them to /sys/class/tty/NAME now,
// running /usr/bin/udevadm (or /bin/udevadm) with a fixed environment.
// false when udev did not take them (no daemon, no udevadm, udevadm failed).
bool ApplyUdevRules(const std::string& name);

}  // namespace tevra
