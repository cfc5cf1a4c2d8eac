#pragma once

#include <string>

namespace tevra {

// Where a port name ("COM3") leads on this system: the path to open and how
// a person knows the port ("COM3 (/dev/ttyUSB0)"). path is empty when
// nothing does, and cause then says why. Opens no device.
struct PortPath {
  std::string path;
  std::string shown;
  std::string cause;
};

PortPath ResolvePortName(const std::string& name);

}  // namespace tevra
