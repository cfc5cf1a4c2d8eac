#include "tests/support/bytes.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace tevra::test {

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

// A stream does not always leave errno set; never report "Success".
void WriteFile(const std::string& path, const Bytes& bytes) {
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),  // NOLINT: byte view
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "writing " + path);
  }
}

Bytes ReadFile(const std::string& path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  Bytes out{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!in.is_open() || in.bad()) {
    throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "reading " + path);
  }
  return out;
}

}  // namespace tevra::test
