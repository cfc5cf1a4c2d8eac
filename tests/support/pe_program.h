#pragma once

#include <cstddef>
#include <cstdint>

#include "tests/support/bytes.h"

namespace tevra::test {

// Where a PeProgram's headers lie, for tests that damage them.
inline constexpr std::size_t kPeHeaderAt = 0x80;         // "PE\0\0"
inline constexpr std::size_t kPeOptionalAt = 0x80 + 24;  // the optional header
inline constexpr std::size_t kPeHeadersEnd = 0x400;      // SizeOfHeaders
// The section table's two entries: raw data size, then its file offset.
std::size_t PeSectionAt(bool pe32, std::size_t index);
// The security directory: the certificate table's file offset, then size.
std::size_t PeSecurityDirectoryAt(bool pe32);

// count (at least 2048) bytes that read as a PE program (PE32+, or PE32)
// of two sections, the second ending exactly at count, or, withSymbols, at
// a COFF symbol table and its string table that end there, as an
// unstripped mingw program has. Random contents, zeros between headers.
Bytes PeProgram(std::size_t count, std::uint32_t seed, bool pe32 = false, bool withSymbols = false);

// What a signer does to file: pads it with zeros to a multiple of 8, then
// appends a certificate table of tableBytes and names it in the security
// directory.
Bytes SignedPe(const Bytes& file, std::size_t tableBytes = 1000, bool pe32 = false);

// Stores value little-endian in width bytes at `at`.
void PutLe(Bytes& bytes, std::size_t at, std::uint64_t value, std::size_t width);

}  // namespace tevra::test
