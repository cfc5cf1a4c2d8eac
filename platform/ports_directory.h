#pragma once

#include <string>

namespace tevra {

// Where COMn links live: $TEVRA_PORTS_DIR when set and non-empty, else
// ${XDG_CONFIG_HOME:-$HOME/.config}/tevra-updater/ports. No trailing slash.
// Does not create anything.
std::string PortsDirectory();

}  // namespace tevra
