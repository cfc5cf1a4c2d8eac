#pragma once

#include <string>
#include <vector>

#include "tests/support/bytes.h"

namespace tevra::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes. Throws std::system_error when none
// can be made.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  std::string Path(const std::string& name) const { return path_ + '/' + name; }

  // Whole-file helpers for names inside the directory or absolute paths;
  // Write returns the file's path.
  std::string Write(const std::string& name, const Bytes& bytes) const;
  Bytes Read(const std::string& name) const;
  bool Exists(const std::string& name) const;
  // The directory's entries, sorted.
  std::vector<std::string> List() const;

 private:
  std::string Resolve(const std::string& name) const;

  std::string path_;
};

}  // namespace tevra::test
