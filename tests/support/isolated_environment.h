#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace tevra::test {

// Sets an environment variable of this process, throwing std::system_error
// on failure. Call it before the test starts any thread.
void SetEnv(const char* name, const std::string& value);

// Points TEVRA_PORTS_DIR, XDG_RUNTIME_DIR and XDG_STATE_HOME of this process
// at fresh directories, so processes running side by side share no port, no
// extracted payload and no port numbering; another one is the test's own to
// work in.
class IsolatedEnvironment {
 public:
  IsolatedEnvironment();
  const std::string& portsDir() const { return ports_.path(); }
  std::string WorkFile(const std::string& name) const { return work_.Path(name); }

 private:
  TempDir ports_;
  TempDir runtime_;
  TempDir state_;
  TempDir work_;
};

}  // namespace tevra::test
