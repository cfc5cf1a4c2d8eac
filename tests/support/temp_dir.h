#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/bytes.h"

namespace tevra::test {

// A fresh temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  std::string Path(const std::string& name) const { return path_ + '/' + name; }
  // By a name inside the directory or an absolute path.
  std::string Write(const std::string& name, const Bytes& bytes) const {
    WriteFile(Resolve(name), bytes);
    return Resolve(name);
  }
  Bytes Read(const std::string& name) const { return ReadFile(Resolve(name)); }
  std::vector<std::string> List() const;

 private:
  std::string Resolve(const std::string& name) const {
    return std::filesystem::path(name).is_absolute() ? name : Path(name);
  }

  std::string path_;
};

}  // namespace tevra::test
