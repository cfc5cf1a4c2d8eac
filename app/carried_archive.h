#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tevra {

// One file the portable build carries (scripts/portable-collect.sh lists
// them in load order, leaves first).
struct CarriedEntry {
  bool library = false;   // loaded in this order; otherwise a plugin or a font Qt loads
  bool fallback = false;  // a library loaded only when the system has none of its name
  std::uint64_t crc = 0;
  std::uint64_t size = 0;
  std::string path;  // relative, inside the cache directory
};

// The carried files' list.
std::vector<CarriedEntry> CarriedEntries();

// Why the file open as fd is not the entry's; empty when it is: a regular
// file of this user that nobody else can write, of the right size and CRC64.
std::string CarriedFileProblem(int fd, const CarriedEntry& e);

// Unpacks every entry into the empty directory dirFd, two at a time, the
// largest first (ICU's data is half of it), each checked against its size
// and CRC64 as it is written; false with *problem set. The frames' 2 MiB
// windows, and the archive's pages given back as each frame is done, keep
// the first start's memory near a later one's.
bool UnpackCarried(int dirFd, const std::vector<CarriedEntry>& entries, std::string* problem);

}  // namespace tevra
