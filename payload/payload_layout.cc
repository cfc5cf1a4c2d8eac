#include "payload/payload_layout.h"

#include <elf.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>
#include <vector>

#include "platform/fd_io.h"

namespace tevra {
namespace {

constexpr char kNotElf[] = "is not a little-endian ELF program";
constexpr char kHeadersPastEnd[] = "is a damaged program: its ELF headers do not fit the file";

void StoreLe32(std::uint32_t value, std::uint8_t* out) {
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::uint32_t LoadLe32(const std::uint8_t* in) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | in[i];
  }
  return value;
}

// A field of a little-endian ELF file in the host's order.
template <typename T>
std::uint64_t Le(T value) {
  if constexpr (std::endian::native == std::endian::big) {
    auto bytes = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
    std::reverse(bytes.begin(), bytes.end());
    value = std::bit_cast<T>(bytes);
  }
  return static_cast<std::uint64_t>(value);
}

// Where count entries of size bytes from offset end: 0 for none, past any
// file where the sum would wrap.
std::uint64_t End(std::uint64_t offset, std::uint64_t count, std::uint64_t size) {
  constexpr std::uint64_t kBeyond = std::numeric_limits<std::uint64_t>::max();
  if (count == 0) {
    return 0;
  }
  if (size != 0 && count > kBeyond / size) {
    return kBeyond;
  }
  return count * size > kBeyond - offset ? kBeyond : offset + count * size;
}

template <typename T>
bool ReadRecord(int fd, std::uint64_t at, T& record) {
  std::array<std::uint8_t, sizeof(T)> raw{};
  if (!ReadExactly(fd, raw.data(), raw.size(), static_cast<off_t>(at))) {
    return false;
  }
  std::memcpy(&record, raw.data(), sizeof(T));
  return true;
}

// Hands each of count table entries, entrySize bytes apart from `at`, to
// visit (entrySize is at least sizeof(Entry)); read in pieces of at most
// 64 KiB, however many entries a damaged header claims.
template <typename Entry, typename Visit>
bool ForEachEntry(int fd, std::uint64_t at, std::uint64_t count, std::uint64_t entrySize,
                  Visit visit) {
  if (count == 0) {
    return true;
  }
  const std::uint64_t perPiece = std::max<std::uint64_t>(1, (std::uint64_t{64} << 10) / entrySize);
  std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::min(count, perPiece) * entrySize));
  for (std::uint64_t i = 0; i < count; i += perPiece) {
    const std::uint64_t n = std::min(count - i, perPiece);
    if (!ReadExactly(fd, piece.data(), static_cast<std::size_t>(n * entrySize),
                     static_cast<off_t>(at + i * entrySize))) {
      return false;
    }
    for (std::uint64_t k = 0; k < n; ++k) {
      Entry entry{};
      std::memcpy(&entry, piece.data() + k * entrySize, sizeof(Entry));
      visit(entry);
    }
  }
  return true;
}

// The program's end: its headers, its tables, its segments' file extents
// and the contents of every section that occupies the file. Sets
// layout.programEnd, or the status and false.
template <typename Ehdr, typename Phdr, typename Shdr>
bool FindProgramEnd(int fd, PayloadLayout& layout) {
  const std::uint64_t fileBytes = layout.fileBytes;
  const auto fail = [&layout](PayloadStatus status, const char* problem) {
    layout.status = status;
    layout.problem = problem;
    return false;
  };
  Ehdr header{};
  if (fileBytes < sizeof(Ehdr)) {
    return fail(PayloadStatus::kNotProgram, kNotElf);
  }
  if (!ReadRecord(fd, 0, header)) {
    return fail(PayloadStatus::kReadError, "");
  }
  const std::uint64_t phOff = Le(header.e_phoff);
  const std::uint64_t phSize = Le(header.e_phentsize);
  const std::uint64_t shOff = Le(header.e_shoff);
  const std::uint64_t shSize = Le(header.e_shentsize);
  std::uint64_t phNum = Le(header.e_phnum);
  std::uint64_t shNum = Le(header.e_shnum);
  // Counts too large for the header are kept in the first section header.
  if (shOff != 0 && (shNum == 0 || phNum == PN_XNUM)) {
    Shdr first{};
    if (shSize < sizeof(Shdr) || End(shOff, 1, shSize) > fileBytes) {
      return fail(PayloadStatus::kNotProgram, kHeadersPastEnd);
    }
    if (!ReadRecord(fd, shOff, first)) {
      return fail(PayloadStatus::kReadError, "");
    }
    shNum = shNum == 0 ? Le(first.sh_size) : shNum;
    phNum = phNum == PN_XNUM ? Le(first.sh_info) : phNum;
  }
  if ((phNum != 0 && phSize < sizeof(Phdr)) || (shNum != 0 && shSize < sizeof(Shdr))) {
    return fail(PayloadStatus::kNotProgram, kHeadersPastEnd);
  }
  std::uint64_t end =
      std::max<std::uint64_t>({sizeof(Ehdr), End(phOff, phNum, phSize), End(shOff, shNum, shSize)});
  if (end > fileBytes) {
    return fail(PayloadStatus::kNotProgram, kHeadersPastEnd);
  }
  const bool read =
      ForEachEntry<Phdr>(
          fd, phOff, phNum, phSize,
          [&end](const Phdr& p) { end = std::max(end, End(Le(p.p_offset), Le(p.p_filesz), 1)); }) &&
      ForEachEntry<Shdr>(fd, shOff, shNum, shSize, [&end](const Shdr& s) {
        if (Le(s.sh_type) != SHT_NOBITS) {
          end = std::max(end, End(Le(s.sh_offset), Le(s.sh_size), 1));
        }
      });
  if (!read) {
    return fail(PayloadStatus::kReadError, "");
  }
  if (end > fileBytes) {
    return fail(PayloadStatus::kNotProgram, kHeadersPastEnd);
  }
  layout.programEnd = end;
  return true;
}

bool FindProgramEnd(int fd, PayloadLayout& layout) {
  std::array<std::uint8_t, EI_NIDENT> ident{};
  const bool room = layout.fileBytes >= ident.size();
  if (room && !ReadExactly(fd, ident.data(), ident.size(), 0)) {
    layout.status = PayloadStatus::kReadError;
    return false;
  }
  if (room && std::memcmp(ident.data(), ELFMAG, SELFMAG) == 0 && ident[EI_DATA] == ELFDATA2LSB) {
    if (ident[EI_CLASS] == ELFCLASS64) {
      return FindProgramEnd<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr>(fd, layout);
    }
    if (ident[EI_CLASS] == ELFCLASS32) {
      return FindProgramEnd<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr>(fd, layout);
    }
  }
  layout.status = PayloadStatus::kNotProgram;
  layout.problem = kNotElf;
  return false;
}

std::string Hex32(std::uint32_t value) {
  std::array<char, 11> text{};
  static_cast<void>(std::snprintf(text.data(), text.size(), "0x%08x", value));
  return text.data();
}

std::string Describe(const PayloadLayout& layout) {
  const auto n = [](std::uint64_t value) { return std::to_string(value); };
  switch (layout.status) {
    case PayloadStatus::kValid:
      return {};
    case PayloadStatus::kNotProgram:
      return layout.problem;
    case PayloadStatus::kTooShort:
      return "is " + n(layout.fileBytes) + " bytes, shorter than the 8-byte trailer";
    case PayloadStatus::kBadMagic:
      return "has no payload trailer: magic is " + Hex32(layout.magic) + ", not " +
             Hex32(PAYLOAD_MAGIC);
    case PayloadStatus::kLengthTooLarge:
      return "has a bad trailer: payload length " + n(layout.payloadBytes) + " exceeds the " +
             n(layout.fileBytes - kTrailerSize) + " bytes before the trailer";
    case PayloadStatus::kEmptyPayload:
      return "is damaged: its trailer records an empty payload";
    case PayloadStatus::kInsideProgram:
      return "is damaged: its payload would start at byte " + n(layout.imageBytes) +
             ", inside the program, which ends at byte " + n(layout.programEnd);
    case PayloadStatus::kReadError:
      return "cannot be read: " + std::generic_category().message(errno);
  }
  return "has an unknown layout";
}

}  // namespace

TrailerBytes EncodeTrailer(std::uint32_t payloadBytes) {
  TrailerBytes bytes{};
  StoreLe32(payloadBytes, bytes.data());
  StoreLe32(PAYLOAD_MAGIC, bytes.data() + 4);
  return bytes;
}

PayloadLayout DecodeTrailer(std::span<const std::uint8_t, kTrailerSize> trailer,
                            std::uint64_t fileBytes, std::uint64_t programEnd) {
  PayloadLayout layout;
  layout.fileBytes = fileBytes;
  layout.programEnd = programEnd;
  if (fileBytes < kTrailerSize) {
    layout.status = PayloadStatus::kTooShort;
    return layout;
  }
  layout.payloadBytes = LoadLe32(trailer.data());
  layout.magic = LoadLe32(trailer.data() + 4);
  const std::uint64_t beforeTrailer = fileBytes - kTrailerSize;
  if (layout.magic != PAYLOAD_MAGIC) {
    layout.status = PayloadStatus::kBadMagic;
    return layout;
  }
  if (layout.payloadBytes > beforeTrailer) {
    layout.status = PayloadStatus::kLengthTooLarge;
    return layout;
  }
  layout.imageBytes = beforeTrailer - layout.payloadBytes;
  layout.status = layout.payloadBytes == 0         ? PayloadStatus::kEmptyPayload
                  : layout.imageBytes < programEnd ? PayloadStatus::kInsideProgram
                                                   : PayloadStatus::kValid;
  return layout;
}

PayloadLayout LocatePayload(int fd) {
  PayloadLayout layout;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    layout.status = PayloadStatus::kReadError;
  } else {
    layout.fileBytes = static_cast<std::uint64_t>(st.st_size);
    TrailerBytes trailer{};
    // A program's headers come first, so it has room for a trailer.
    if (FindProgramEnd(fd, layout)) {
      if (ReadExactly(fd, trailer.data(), trailer.size(),
                      static_cast<off_t>(layout.fileBytes - kTrailerSize))) {
        layout = DecodeTrailer(trailer, layout.fileBytes, layout.programEnd);
      } else {
        layout.status = PayloadStatus::kReadError;
      }
    }
  }
  const int saved = errno;
  layout.problem = Describe(layout);
  errno = saved;
  return layout;
}

}  // namespace tevra
