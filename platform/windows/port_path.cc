#include "platform/port_path.h"

#include <string_view>

namespace tevra {
namespace {

constexpr unsigned kMaxPortNumber = 255;  // the port number is one byte

// n for "COM<n>" (n from 1 without sign or leading zero); 0 otherwise.
unsigned PortNumber(std::string_view name) {
  if (name.size() < 4 || name.size() > 6 || name.substr(0, 3) != "COM" || name[3] == '0') {
    return 0;
  }
  unsigned n = 0;
  for (const char c : name.substr(3)) {
    if (c < '0' || c > '9') {
      return 0;
    }
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n <= kMaxPortNumber ? n : 0;
}

}  // namespace

PortPath ResolvePortName(const std::string& name) {
  // COM10 and above open only through the device namespace; every number
  // does, so one form serves all.
  constexpr std::string_view kDeviceNamespace = R"(\\.\)";
  if (name.starts_with(kDeviceNamespace)) {
    return {name, name, {}};
  }
  if (PortNumber(name) == 0) {
    return {{}, name, "not a port name"};
  }
  return {std::string(kDeviceNamespace) + name, name, {}};
}

}  // namespace tevra
