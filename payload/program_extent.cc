#include "payload/program_extent.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <vector>

namespace tevra {
namespace {

constexpr char kNotProgram[] = "is not a program: neither a little-endian ELF nor a PE file";
constexpr char kElfPastEnd[] = "is a damaged program: its ELF headers do not fit the file";
constexpr char kPePastEnd[] = "is a damaged program: its PE headers do not fit the file";
constexpr char kCertificatesPastEnd[] =
    "is a damaged program: the certificate table its PE header names does not fit the file";
constexpr char kCertificatesInside[] =
    "is a damaged program: the certificate table its PE header names lies inside the program";

constexpr std::uint64_t kBeyond = std::numeric_limits<std::uint64_t>::max();

// Where count entries of size bytes from offset end: 0 for none, past any
// file where the sum would wrap.
std::uint64_t End(std::uint64_t offset, std::uint64_t count, std::uint64_t size) {
  if (count == 0) {
    return 0;
  }
  if (size != 0 && count > kBeyond / size) {
    return kBeyond;
  }
  return count * size > kBeyond - offset ? kBeyond : offset + count * size;
}

// A little-endian field of width bytes (2, 4 or 8) at `at` in bytes.
std::uint64_t Le(const std::uint8_t* bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) {
    value = (value << 8) | bytes[at + i - 1];
  }
  return value;
}

ProgramExtent Refused(const char* problem) {
  ProgramExtent extent;
  extent.status = ProgramExtent::Status::kNotProgram;
  extent.problem = problem;
  return extent;
}

ProgramExtent ReadFailed() {
  ProgramExtent extent;
  extent.status = ProgramExtent::Status::kReadError;
  return extent;
}

// Hands each of count table entries, entrySize bytes apart from `at`, to
// visit as raw bytes; read in pieces of at most 64 KiB, however many
// entries a damaged header claims. The caller has checked the table fits.
template <typename Visit>
bool ForEachEntry(const File& file, std::uint64_t at, std::uint64_t count, std::uint64_t entrySize,
                  Visit visit) {
  if (count == 0) {
    return true;
  }
  const std::uint64_t perPiece = std::max<std::uint64_t>(1, (std::uint64_t{64} << 10) / entrySize);
  std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::min(count, perPiece) * entrySize));
  for (std::uint64_t i = 0; i < count; i += perPiece) {
    const std::uint64_t n = std::min(count - i, perPiece);
    if (!ReadExactlyAt(file, at + i * entrySize, piece.data(),
                       static_cast<std::size_t>(n * entrySize))) {
      return false;
    }
    for (std::uint64_t k = 0; k < n; ++k) {
      visit(piece.data() + k * entrySize);
    }
  }
  return true;
}

// Where the fields of one ELF class lie (byte offsets), and its sizes.
struct ElfShape {
  std::size_t word;  // 4 or 8
  std::size_t headerSize, phEntryMin, shEntryMin;
  std::size_t phOff, shOff, phEntSize, phNum, shEntSize, shNum;
  std::size_t pOffset, pFileSize;
  std::size_t shType, shOffset, shSize, shInfo;
};
constexpr ElfShape kElf64{8, 64, 56, 64, 32, 40, 54, 56, 58, 60, 8, 32, 4, 24, 32, 44};
constexpr ElfShape kElf32{4, 52, 32, 40, 28, 32, 42, 44, 46, 48, 4, 16, 4, 16, 20, 28};
constexpr std::uint64_t kExtendedNumbering = 0xFFFF;  // PN_XNUM
constexpr std::uint64_t kNoBits = 8;                  // SHT_NOBITS: .bss, no file contents

// The end of an ELF program: its headers, its tables, its segments' file
// extents and the contents of every section that occupies the file.
ProgramExtent ElfExtent(const File& file, std::uint64_t fileBytes, const ElfShape& c) {
  std::array<std::uint8_t, 64> header{};
  if (fileBytes < c.headerSize) {
    return Refused(kNotProgram);
  }
  if (!ReadExactlyAt(file, 0, header.data(), c.headerSize)) {
    return ReadFailed();
  }
  const std::uint64_t phOff = Le(header.data(), c.phOff, c.word);
  const std::uint64_t shOff = Le(header.data(), c.shOff, c.word);
  const std::uint64_t phSize = Le(header.data(), c.phEntSize, 2);
  const std::uint64_t shSize = Le(header.data(), c.shEntSize, 2);
  std::uint64_t phNum = Le(header.data(), c.phNum, 2);
  std::uint64_t shNum = Le(header.data(), c.shNum, 2);
  // Counts too large for the header are kept in the first section header.
  if (shOff != 0 && (shNum == 0 || phNum == kExtendedNumbering)) {
    std::array<std::uint8_t, 64> first{};
    if (shSize < c.shEntryMin || End(shOff, 1, shSize) > fileBytes) {
      return Refused(kElfPastEnd);
    }
    if (!ReadExactlyAt(file, shOff, first.data(), c.shEntryMin)) {
      return ReadFailed();
    }
    shNum = shNum == 0 ? Le(first.data(), c.shSize, c.word) : shNum;
    phNum = phNum == kExtendedNumbering ? Le(first.data(), c.shInfo, 4) : phNum;
  }
  if ((phNum != 0 && phSize < c.phEntryMin) || (shNum != 0 && shSize < c.shEntryMin)) {
    return Refused(kElfPastEnd);
  }
  std::uint64_t end =
      std::max<std::uint64_t>({c.headerSize, End(phOff, phNum, phSize), End(shOff, shNum, shSize)});
  if (end > fileBytes) {
    return Refused(kElfPastEnd);
  }
  const bool read =
      ForEachEntry(file, phOff, phNum, phSize,
                   [&](const std::uint8_t* p) {
                     end = std::max(end,
                                    End(Le(p, c.pOffset, c.word), Le(p, c.pFileSize, c.word), 1));
                   }) &&
      ForEachEntry(file, shOff, shNum, shSize, [&](const std::uint8_t* s) {
        if (Le(s, c.shType, 4) != kNoBits) {
          end = std::max(end, End(Le(s, c.shOffset, c.word), Le(s, c.shSize, c.word), 1));
        }
      });
  if (!read) {
    return ReadFailed();
  }
  if (end > fileBytes) {
    return Refused(kElfPastEnd);
  }
  ProgramExtent extent;
  extent.status = ProgramExtent::Status::kProgram;
  extent.programEnd = end;
  return extent;
}

// PE/COFF: the DOS header's pointer to "PE\0\0", the COFF header, the
// optional header (PE32 or PE32+) with its data directories, the section
// table, and a COFF symbol table with its string table when not stripped.
constexpr std::size_t kDosHeader = 64;
constexpr std::size_t kPeOffsetField = 0x3C;
constexpr std::size_t kCoffHeader = 24;  // with the signature
constexpr std::size_t kSectionEntry = 40;
constexpr std::size_t kSymbolEntry = 18;
constexpr std::size_t kSecurityDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY

ProgramExtent PeExtent(const File& file, std::uint64_t fileBytes, std::uint64_t peAt) {
  std::array<std::uint8_t, kCoffHeader> coff{};
  if (End(peAt, 1, kCoffHeader) > fileBytes) {
    return Refused(kPePastEnd);
  }
  if (!ReadExactlyAt(file, peAt, coff.data(), coff.size())) {
    return ReadFailed();
  }
  if (std::memcmp(coff.data(), "PE\0\0", 4) != 0) {
    return Refused(kNotProgram);
  }
  const std::uint64_t sections = Le(coff.data(), 6, 2);
  const std::uint64_t symbols = Le(coff.data(), 12, 4);
  const std::uint64_t symbolCount = Le(coff.data(), 16, 4);
  const std::uint64_t optionalBytes = Le(coff.data(), 20, 2);
  const std::uint64_t optionalAt = peAt + kCoffHeader;
  std::vector<std::uint8_t> optional(static_cast<std::size_t>(optionalBytes));
  if (End(optionalAt, 1, optionalBytes) > fileBytes) {
    return Refused(kPePastEnd);
  }
  if (!ReadExactlyAt(file, optionalAt, optional.data(), optional.size())) {
    return ReadFailed();
  }
  const std::uint64_t magic = optionalBytes >= 2 ? Le(optional.data(), 0, 2) : 0;
  if (magic != 0x10B && magic != 0x20B) {
    return Refused(kNotProgram);
  }
  // PE32+ has a 64-bit image base and stack sizes: its directories start later.
  const std::size_t countAt = magic == 0x20B ? 108 : 92;
  const std::size_t directoriesAt = countAt + 4;
  if (optionalBytes < directoriesAt) {
    return Refused(kPePastEnd);
  }
  const std::uint64_t directoryCount = Le(optional.data(), countAt, 4);
  const std::uint64_t headersBytes = Le(optional.data(), 60, 4);
  const std::size_t securityAt = directoriesAt + kSecurityDirectory * 8;
  ProgramExtent extent;
  if (directoryCount > kSecurityDirectory && optionalBytes >= securityAt + 8) {
    // The one directory entry that holds a file offset, not an address.
    extent.certificateOffset = Le(optional.data(), securityAt, 4);
    extent.certificateBytes = Le(optional.data(), securityAt + 4, 4);
    if (extent.certificateBytes == 0) {
      extent.certificateOffset = 0;
    } else if (End(extent.certificateOffset, 1, extent.certificateBytes) > fileBytes) {
      return Refused(kCertificatesPastEnd);
    }
  }
  const std::uint64_t tableAt = optionalAt + optionalBytes;
  std::uint64_t end = std::max<std::uint64_t>(
      {kDosHeader, headersBytes, End(tableAt, sections, kSectionEntry), tableAt});
  if (end > fileBytes) {
    return Refused(kPePastEnd);
  }
  const bool read = ForEachEntry(
      file, tableAt, sections, kSectionEntry,
      [&end](const std::uint8_t* s) { end = std::max(end, End(Le(s, 20, 4), Le(s, 16, 4), 1)); });
  if (!read) {
    return ReadFailed();
  }
  if (symbols != 0) {
    // The string table follows the symbols, its first four bytes its size.
    const std::uint64_t stringsAt =
        symbolCount == 0 ? symbols : End(symbols, symbolCount, kSymbolEntry);
    std::array<std::uint8_t, 4> size{};
    if (End(stringsAt, 1, size.size()) > fileBytes) {
      return Refused(kPePastEnd);
    }
    if (!ReadExactlyAt(file, stringsAt, size.data(), size.size())) {
      return ReadFailed();
    }
    end = std::max(end, End(stringsAt, 1, std::max<std::uint64_t>(4, Le(size.data(), 0, 4))));
  }
  if (end > fileBytes) {
    return Refused(kPePastEnd);
  }
  if (extent.certificateBytes != 0 && extent.certificateOffset < end) {
    return Refused(kCertificatesInside);
  }
  extent.status = ProgramExtent::Status::kProgram;
  extent.kind = ProgramExtent::Kind::kPe;
  extent.programEnd = end;
  return extent;
}

}  // namespace

ProgramExtent FindProgramExtent(const File& file, std::uint64_t fileBytes) {
  std::array<std::uint8_t, kDosHeader> start{};
  const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(fileBytes, 64));
  if (!ReadExactlyAt(file, 0, start.data(), have)) {
    return ReadFailed();
  }
  constexpr std::size_t kClass = 4;  // EI_CLASS, then EI_DATA
  if (have >= 16 &&
      std::memcmp(start.data(),
                  "\x7F"
                  "ELF",
                  4) == 0 &&
      start[kClass + 1] == 1) {
    if (start[kClass] == 2) {
      return ElfExtent(file, fileBytes, kElf64);
    }
    if (start[kClass] == 1) {
      return ElfExtent(file, fileBytes, kElf32);
    }
  }
  if (have == kDosHeader && start[0] == 'M' && start[1] == 'Z') {
    return PeExtent(file, fileBytes, Le(start.data(), kPeOffsetField, 4));
  }
  return Refused(kNotProgram);
}

}  // namespace tevra
