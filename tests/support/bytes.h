#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tevra::test {

using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::size_t count, std::uint32_t seed);

Bytes Concat(const Bytes& a, const Bytes& b);

// Both throw, so a test never goes on with half a file.
void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);

}  // namespace tevra::test
