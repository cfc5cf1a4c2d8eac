#include "tests/support/elf_program.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace tevra::test {
namespace {

// The fields this needs, by byte offset, for one ELF class.
struct Shape {
  std::size_t word, header, phEntry, shEntry;
  std::size_t phOff, shOff, phEntSize, phNum, shEntSize, shNum;
  std::size_t pFileSize, shType, shOffset, shSize;
};
constexpr Shape kElf64{8, 64, 56, 64, 32, 40, 54, 56, 58, 60, 32, 4, 24, 32};
constexpr Shape kElf32{4, 52, 32, 40, 28, 32, 42, 44, 46, 48, 16, 4, 16, 20};
constexpr std::uint64_t kLoad = 1;      // PT_LOAD
constexpr std::uint64_t kProgBits = 1;  // SHT_PROGBITS
constexpr std::uint64_t kNoBits = 8;    // SHT_NOBITS

void Put(Bytes& out, std::size_t at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    out.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

}  // namespace

Bytes ElfProgram(std::size_t count, std::uint32_t seed, ElfEnd last, bool elf32) {
  if (count < 512) {
    throw std::invalid_argument("an ElfProgram needs at least 512 bytes");
  }
  const Shape& c = elf32 ? kElf32 : kElf64;
  const std::size_t headers = c.header + c.phEntry;
  const bool tableLast = last == ElfEnd::kSectionTable;
  const std::size_t table = tableLast ? count - 3 * c.shEntry : headers;
  const std::size_t contents = tableLast ? headers : headers + 3 * c.shEntry;
  Bytes out = RandomBytes(count, seed);
  // Zeros wherever a header field is not set.
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(headers), 0);
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(table),
            out.begin() + static_cast<std::ptrdiff_t>(table + 3 * c.shEntry), 0);
  const std::uint8_t ident[] = {0x7F, 'E', 'L', 'F', static_cast<std::uint8_t>(elf32 ? 1 : 2), 1};
  std::copy(std::begin(ident), std::end(ident), out.begin());
  Put(out, c.phOff, c.header, c.word);
  Put(out, c.phEntSize, c.phEntry, 2);
  Put(out, c.phNum, 1, 2);
  Put(out, c.shOff, table, c.word);
  Put(out, c.shEntSize, c.shEntry, 2);
  Put(out, c.shNum, 3, 2);
  Put(out, c.header, kLoad, 4);
  Put(out, c.header + c.pFileSize, last == ElfEnd::kSegment ? count : contents, c.word);
  const auto section = [&](std::size_t index, std::uint64_t type, std::size_t bytes) {
    const std::size_t at = table + index * c.shEntry;
    Put(out, at + c.shType, type, 4);
    Put(out, at + c.shOffset, contents, c.word);
    Put(out, at + c.shSize, bytes, c.word);
  };
  section(1, kProgBits, last == ElfEnd::kSectionContents ? count - contents : 16);
  section(2, kNoBits, 2 * count);
  return out;
}

}  // namespace tevra::test
