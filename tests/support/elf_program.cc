#include "tests/support/elf_program.h"

#include <elf.h>

#include <array>
#include <cstring>
#include <stdexcept>

namespace tevra::test {
namespace {

template <typename T>
void Put(Bytes& out, std::size_t at, const T& record) {
  std::memcpy(out.data() + at, &record, sizeof(T));
}

// The field's width is the class's; every value here fits either.
template <typename Field>
void Set(Field& field, std::size_t value) {
  field = static_cast<Field>(value);
}

template <typename Ehdr, typename Phdr, typename Shdr>
Bytes Make(std::size_t count, std::uint32_t seed, ElfEnd last, unsigned char elfClass) {
  Bytes out = RandomBytes(count, seed);
  const std::size_t headers = sizeof(Ehdr) + sizeof(Phdr);
  const std::size_t tableAt = last == ElfEnd::kSectionTable ? count - 3 * sizeof(Shdr) : headers;
  const std::size_t contentsAt =
      last == ElfEnd::kSectionTable ? headers : headers + 3 * sizeof(Shdr);
  Ehdr eh{};
  std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = elfClass;
  eh.e_ident[EI_DATA] = ELFDATA2LSB;
  eh.e_ident[EI_VERSION] = EV_CURRENT;
  eh.e_type = ET_EXEC;
  eh.e_version = EV_CURRENT;
  eh.e_ehsize = sizeof(Ehdr);
  eh.e_phoff = sizeof(Ehdr);
  eh.e_phentsize = sizeof(Phdr);
  eh.e_phnum = 1;
  Set(eh.e_shoff, tableAt);
  eh.e_shentsize = sizeof(Shdr);
  eh.e_shnum = 3;
  Put(out, 0, eh);
  Phdr load{};
  load.p_type = PT_LOAD;
  Set(load.p_filesz, last == ElfEnd::kSegment ? count : contentsAt);
  Put(out, sizeof(Ehdr), load);
  std::array<Shdr, 3> sections{};
  sections[1].sh_type = SHT_PROGBITS;
  Set(sections[1].sh_offset, contentsAt);
  Set(sections[1].sh_size, last == ElfEnd::kSectionContents ? count - contentsAt : 16);
  sections[2].sh_type = SHT_NOBITS;
  Set(sections[2].sh_offset, contentsAt);
  Set(sections[2].sh_size, 2 * count);
  Put(out, tableAt, sections);
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
