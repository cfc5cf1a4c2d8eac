#include "platform/port_path.h"

#include <filesystem>
#include <system_error>

#include "platform/port_resolver.h"

namespace tevra {
namespace {

// The device as a person knows it: a link's target (the adapter, e.g.
// /dev/ttyUSB0), else the path itself.
std::string DeviceShown(const std::string& path) {
  std::error_code error;
  const std::filesystem::path target = std::filesystem::read_symlink(path, error);
  return error ? path : target.string();
}

}  // namespace

PortPath ResolvePortName(const std::string& name) {
  PortResolver::Resolved port = PortResolver::ForThisUser().Resolve(name);
  if (port.path.empty()) {
    return {{}, name, std::move(port.cause)};
  }
  std::string shown = port.path == name ? name : name + " (" + DeviceShown(port.path) + ")";
  return {std::move(port.path), std::move(shown), {}};
}

}  // namespace tevra
