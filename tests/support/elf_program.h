#pragma once

#include <cstddef>
#include <cstdint>

#include "tests/support/bytes.h"

namespace tevra::test {

// Which part of an ElfProgram reaches its last byte.
enum class ElfEnd { kSectionTable, kSectionContents, kSegment };

// count bytes (at least 512) of random filler that read as a little-endian
// ELF program whose headers say it ends exactly at count, through `last`. It
// also holds a NOBITS section reaching far past the end, which occupies no
// bytes of the file.
Bytes ElfProgram(std::size_t count, std::uint32_t seed, ElfEnd last = ElfEnd::kSectionTable,
                 bool elf32 = false);

}  // namespace tevra::test
