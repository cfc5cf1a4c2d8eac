#pragma once

namespace tevra {

// tevra-updater with arguments: --download, --help, --version. Returns the
// exit status (see exit_status.h).
int CommandLineMain(int argc, char** argv);

}  // namespace tevra
