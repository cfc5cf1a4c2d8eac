#include "platform/ports_directory.h"

#include <cstdlib>

namespace tevra {
namespace {

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read-only use
  return v != nullptr ? std::string(v) : std::string();
}

}  // namespace

std::string PortsDirectory() {
  std::string dir = EnvOrEmpty("TEVRA_PORTS_DIR");
  if (!dir.empty()) {
    while (dir.size() > 1 && dir.back() == '/') {
      dir.pop_back();
    }
    return dir;
  }
  std::string config = EnvOrEmpty("XDG_CONFIG_HOME");
  if (config.empty()) {
    config = EnvOrEmpty("HOME") + "/.config";
  }
  return config + "/tevra-updater/ports";
}

}  // namespace tevra
