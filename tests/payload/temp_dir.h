#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tevra::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

  // Whole-file helpers for names inside the directory or absolute paths.
  std::string Write(const std::string& name, const Bytes& bytes) const;
  Bytes Read(const std::string& name) const;
  bool Exists(const std::string& name) const;
  // The directory's entries, sorted.
  std::vector<std::string> List() const;

 private:
  std::string Resolve(const std::string& name) const;

  std::string path_;
};

// Deterministic pseudo-random bytes.
Bytes RandomBytes(std::size_t count, std::uint32_t seed);

Bytes Concat(const Bytes& a, const Bytes& b);

}  // namespace tevra::test
