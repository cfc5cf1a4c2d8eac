#include "tests/support/pe_program.h"

#include <algorithm>
#include <stdexcept>

namespace tevra::test {
namespace {

constexpr std::size_t kSymbols = 3;
constexpr std::size_t kStringTable = 20;
constexpr std::size_t kSymbolBytes = kSymbols * 18 + kStringTable;

std::size_t OptionalBytes(bool pe32) {
  return (pe32 ? 96 : 112) + 16 * 8;
}

}  // namespace

void PutLe(Bytes& bytes, std::size_t at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::size_t PeSectionAt(bool pe32, std::size_t index) {
  return kPeOptionalAt + OptionalBytes(pe32) + index * 40 + 16;
}

std::size_t PeSecurityDirectoryAt(bool pe32) {
  return kPeOptionalAt + (pe32 ? 96 : 112) + std::size_t{4} * 8;
}

Bytes PeProgram(std::size_t count, std::uint32_t seed, bool pe32, bool withSymbols) {
  if (count < 2048) {
    throw std::invalid_argument("a PeProgram needs at least 2048 bytes");
  }
  Bytes out = RandomBytes(count, seed);
  std::fill(out.begin(), out.begin() + kPeHeadersEnd, 0);
  out[0] = 'M';
  out[1] = 'Z';
  PutLe(out, 0x3C, kPeHeaderAt, 4);
  std::copy_n("PE\0\0", 4, out.begin() + kPeHeaderAt);
  PutLe(out, kPeHeaderAt + 4, 0x8664, 2);  // x64
  PutLe(out, kPeHeaderAt + 6, 2, 2);
  const std::size_t sectionsEnd = withSymbols ? count - kSymbolBytes : count;
  if (withSymbols) {
    PutLe(out, kPeHeaderAt + 12, sectionsEnd, 4);
    PutLe(out, kPeHeaderAt + 16, kSymbols, 4);
    PutLe(out, count - kStringTable, kStringTable, 4);
  }
  PutLe(out, kPeHeaderAt + 20, OptionalBytes(pe32), 2);
  PutLe(out, kPeOptionalAt, pe32 ? 0x10B : 0x20B, 2);
  PutLe(out, kPeOptionalAt + 60, kPeHeadersEnd, 4);
  PutLe(out, kPeOptionalAt + (pe32 ? 92 : 108), 16, 4);
  PutLe(out, PeSectionAt(pe32, 0), 0x200, 4);
  PutLe(out, PeSectionAt(pe32, 0) + 4, kPeHeadersEnd, 4);
  PutLe(out, PeSectionAt(pe32, 1), sectionsEnd - kPeHeadersEnd - 0x200, 4);
  PutLe(out, PeSectionAt(pe32, 1) + 4, kPeHeadersEnd + 0x200, 4);
  return out;
}

Bytes SignedPe(const Bytes& file, std::size_t tableBytes, bool pe32) {
  Bytes out = file;
  out.resize((out.size() + 7) / 8 * 8, 0);
  const std::size_t at = out.size();
  const Bytes table = RandomBytes(tableBytes, 99);
  out.insert(out.end(), table.begin(), table.end());
  PutLe(out, PeSecurityDirectoryAt(pe32), at, 4);
  PutLe(out, PeSecurityDirectoryAt(pe32) + 4, tableBytes, 4);
  return out;
}

}  // namespace tevra::test
