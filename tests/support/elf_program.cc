#include "tests/support/elf_program.h"

#include <elf.h>

#include <array>
#include <cstring>
#include <stdexcept>

namespace tevra::test {
namespace {

template <typename Ehdr, typename Phdr, typename Shdr>
Bytes Make(std::size_t count, std::uint32_t seed, ElfEnd last, unsigned char elfClass) {
  using Word = decltype(Phdr::p_filesz);  // the class's width
  const auto word = [](std::size_t value) { return static_cast<Word>(value); };
  const std::size_t headers = sizeof(Ehdr) + sizeof(Phdr);
  const bool tableLast = last == ElfEnd::kSectionTable;
  const std::size_t table = tableLast ? count - 3 * sizeof(Shdr) : headers;
  const std::size_t contents = tableLast ? headers : headers + 3 * sizeof(Shdr);
  Ehdr eh{};
  std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = elfClass;
  eh.e_ident[EI_DATA] = ELFDATA2LSB;
  eh.e_phoff = sizeof(Ehdr);
  eh.e_phentsize = sizeof(Phdr);
  eh.e_phnum = 1;
  eh.e_shoff = word(table);
  eh.e_shentsize = sizeof(Shdr);
  eh.e_shnum = 3;
  Phdr load{};
  load.p_type = PT_LOAD;
  load.p_filesz = word(last == ElfEnd::kSegment ? count : contents);
  const auto section = [&](std::uint32_t type, std::size_t bytes) {
    Shdr s{};
    s.sh_type = type;
    s.sh_offset = word(contents);
    s.sh_size = word(bytes);
    return s;
  };
  const std::size_t used = last == ElfEnd::kSectionContents ? count - contents : 16;
  const std::array<Shdr, 3> sections{Shdr{}, section(SHT_PROGBITS, used),
                                     section(SHT_NOBITS, 2 * count)};
  Bytes out = RandomBytes(count, seed);
  std::memcpy(out.data(), &eh, sizeof(eh));
  std::memcpy(out.data() + sizeof(eh), &load, sizeof(load));
  std::memcpy(out.data() + table, sections.data(), sizeof(sections));
  return out;
}

}  // namespace

Bytes ElfProgram(std::size_t count, std::uint32_t seed, ElfEnd last, bool elf32) {
  if (count < 512) {
    throw std::invalid_argument("an ElfProgram needs at least 512 bytes");
  }
  return elf32 ? Make<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr>(count, seed, last, ELFCLASS32)
               : Make<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr>(count, seed, last, ELFCLASS64);
}

}  // namespace tevra::test
