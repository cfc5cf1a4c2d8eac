#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace tevra {

// What a program file's own headers say about where its parts lie.
struct ProgramExtent {
  enum class Kind { kElf, kPe };
  enum class Status {
    kProgram,
    kNotProgram,  // neither a little-endian ELF nor a PE file, or its headers do not fit it
    kReadError,   // errno set
  };

  Status status = Status::kNotProgram;
  Kind kind = Kind::kElf;
  // Where the program's own bytes end: its headers, its tables and the
  // contents they point to.
  std::uint64_t programEnd = 0;
  // A signed PE's certificate table (its security directory), appended by
  // the signer after everything else: offset and size; both 0 when unsigned.
  std::uint64_t certificateOffset = 0;
  std::uint64_t certificateBytes = 0;
  std::string problem;  // kNotProgram: why, to follow the file's name
};

// Reads the headers of the fileBytes-byte file, ELF (32- or 64-bit,
// little-endian) or PE (PE32 or PE32+). Every offset, count and size read
// is checked against the file, so a damaged or hostile header is refused
// (kNotProgram), never followed out of the file.
ProgramExtent FindProgramExtent(const File& file, std::uint64_t fileBytes);

}  // namespace tevra
