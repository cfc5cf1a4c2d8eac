#pragma once

#include <string>

namespace tevra {

// Where COMn links live: $TEVRA_PORTS_DIR when set and non-empty, else
// ${XDG_CONFIG_HOME:-$HOME/.config}/tevra-updater/ports. No trailing slash.
// Does not create anything.
std::string PortsDirectory();

// The device path behind COM<portNumber>: the target of the link
// PortsDirectory()/COMn when that link exists, else /dev/ttyS<n-1>.
// Empty for port 0, which never opens anything.
std::string DevicePathForPort(unsigned portNumber);

}  // namespace tevra
