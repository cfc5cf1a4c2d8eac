#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace tevra::test {

// Before the test starts any thread.
void SetEnv(const char* name, const std::string& value);

// Tests running side by side share no port, extracted payload or port numbering.
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
