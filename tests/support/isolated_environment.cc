#include "tests/support/isolated_environment.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace tevra::test {

void SetEnv(const char* name, const std::string& value) {
  if (setenv(name, value.c_str(), 1) != 0) {  // NOLINT(concurrency-mt-unsafe)
    throw std::system_error(errno, std::generic_category(), std::string("setenv ") + name);
  }
}

IsolatedEnvironment::IsolatedEnvironment() {
  SetEnv("TEVRA_PORTS_DIR", ports_.path());
  SetEnv("XDG_RUNTIME_DIR", runtime_.path());
  SetEnv("XDG_STATE_HOME", state_.path());
}

}  // namespace tevra::test
