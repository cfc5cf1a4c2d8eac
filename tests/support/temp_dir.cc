#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace tevra::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tevra-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Resolve(const std::string& name) const {
  return name.starts_with('/') ? name : Path(name);
}

std::string TempDir::Write(const std::string& name, const Bytes& bytes) const {
  std::string file = Resolve(name);
  WriteFile(file, bytes);
  return file;
}

Bytes TempDir::Read(const std::string& name) const {
  return ReadFile(Resolve(name));
}

bool TempDir::Exists(const std::string& name) const {
  std::error_code ignored;
  return std::filesystem::symlink_status(Resolve(name), ignored).type() !=
         std::filesystem::file_type::not_found;
}

std::vector<std::string> TempDir::List() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tevra::test
