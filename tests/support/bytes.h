#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tevra::test {

using Bytes = std::vector<std::uint8_t>;

// Deterministic pseudo-random bytes: every byte value turns up, the ones a
// careless line would alter included.
Bytes RandomBytes(std::size_t count, std::uint32_t seed);

Bytes Concat(const Bytes& a, const Bytes& b);

// Whole-file helpers; both throw std::system_error when the file cannot be
// written or read, so a test never goes on with half a file.
void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);

}  // namespace tevra::test
