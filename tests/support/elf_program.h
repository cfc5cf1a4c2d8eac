#pragma once

#include <cstddef>
#include <cstdint>

#include "tests/support/bytes.h"

namespace tevra::test {

enum class ElfEnd { kSectionTable, kSectionContents, kSegment };

// count (at least 512) random bytes that read as a little-endian ELF program
// ending exactly at count through its `last` part, with a NOBITS section
// reaching far past that end, as .bss does.
Bytes ElfProgram(std::size_t count, std::uint32_t seed, ElfEnd last = ElfEnd::kSectionTable,
                 bool elf32 = false);

}  // namespace tevra::test
