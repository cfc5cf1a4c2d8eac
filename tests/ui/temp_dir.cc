#include "tests/ui/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace tevra::test {

TempDir::TempDir() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::string pattern = (base / "tevra-ui-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  m_path = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

namespace {

void SetVariable(const char* name, const std::string& value) {
  // Set before any port opens; the tests drive one window from one thread.
  if (setenv(name, value.c_str(), 1) != 0) {  // NOLINT(concurrency-mt-unsafe)
    throw std::system_error(errno, std::generic_category(), "setenv");
  }
}

}  // namespace

IsolatedEnvironment::IsolatedEnvironment() {
  SetVariable("TEVRA_PORTS_DIR", m_ports.path());
  SetVariable("XDG_RUNTIME_DIR", m_runtime.path());
}

}  // namespace tevra::test
