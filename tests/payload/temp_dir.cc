#include "tests/payload/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace tevra::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tevra-payload-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

std::string TempDir::Resolve(const std::string& name) const {
  return name.starts_with('/') ? name : Path(name);
}

std::string TempDir::Write(const std::string& name, const Bytes& bytes) const {
  std::string file = Resolve(name);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),  // NOLINT: byte view
            static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good()) << "writing " << file;
  return file;
}

Bytes TempDir::Read(const std::string& name) const {
  std::ifstream in(Resolve(name), std::ios::binary);
  EXPECT_TRUE(in.good()) << "reading " << Resolve(name);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

Bytes RandomBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes out(count);
  for (auto& b : out) {
    b = static_cast<std::uint8_t>(byte(gen));
  }
  return out;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
  Bytes out(a);
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

}  // namespace tevra::test
