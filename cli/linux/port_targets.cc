#include "cli/port_targets.h"

#include <filesystem>
#include <system_error>

#include "cli/command_line.h"
#include "platform/diagnostics.h"

namespace tevra {

PortTarget MakePortTarget(std::string name, PortResolver::Resolved resolved,
                          const PortResolver& resolver) {
  PortTarget target{std::move(name), std::move(resolved.path), std::move(resolved.cause), {}, {}};
  if (target.path.empty()) {
    return target;
  }
  std::error_code error;
  const std::filesystem::path end = std::filesystem::canonical(target.path, error);
  target.device = error ? target.path : end.string();
  target.adapter = resolver.Find(target.device);
  struct stat st {};
  if (::stat(target.path.c_str(), &st) == 0) {
    target.identity = DeviceIdentity::Of(st);
  }
  return target;
}

PortTarget PlugTarget(const std::string& path, const std::string& portsDir,
                      PortResolver& resolver) {
  const std::string name = std::filesystem::path(path).filename().string();
  if (path == portsDir + "/" + name) {
    return MakePortTarget(name, {path, {}}, resolver);
  }
  const unsigned n = resolver.NumberOf(path);
  return MakePortTarget(n != 0 ? "COM" + std::to_string(n) : path, {path, {}}, resolver);
}

std::vector<PortTarget> ResolvePortTargets(const std::vector<std::string>& names,
                                           PortResolver& resolver) {
  std::vector<PortTarget> targets;
  targets.reserve(names.size());
  for (const std::string& name : names) {
    PortTarget target = MakePortTarget(name, resolver.Resolve(name), resolver);
    for (const PortTarget& earlier : targets) {
      if (earlier.identity && earlier.identity == target.identity) {
        throw UsageError("--port " + Printable(earlier.name) + " and --port " +
                         Printable(target.name) + " are the same device (" +
                         Printable(target.device) + ")");
      }
    }
    targets.push_back(std::move(target));
  }
  return targets;
}

std::vector<PortTarget> ResolvePortTargets(const std::vector<std::string>& names) {
  PortResolver resolver = PortResolver::ForThisUser();
  return ResolvePortTargets(names, resolver);
}

}  // namespace tevra
