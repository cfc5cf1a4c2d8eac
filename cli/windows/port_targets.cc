#include "cli/port_targets.h"

#include "platform/port_path.h"

namespace tevra {

// A COM port's name is its identity on Windows: the command line has made
// each name upper case and refused one named twice, and no links lead to
// one. So targets carry no identity, and no USB data either.
std::vector<PortTarget> ResolvePortTargets(const std::vector<std::string>& names) {
  std::vector<PortTarget> targets;
  targets.reserve(names.size());
  for (const std::string& name : names) {
    PortPath resolved = ResolvePortName(name);
    targets.push_back(
        PortTarget{name, std::move(resolved.path), std::move(resolved.cause), name, {}});
  }
  return targets;
}

}  // namespace tevra
