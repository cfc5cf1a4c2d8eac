#pragma once

#include <span>

namespace tevra {

// What the portable build placed in the updater's read-only data (see
// scripts/portable-collect.sh): the carried files, each a zstd frame, in
// load order; their list ("lib|plugin CRC64 SIZE PATH" lines); the notices.
struct CarriedImage {
  static std::span<const unsigned char> Archive();
  static std::span<const unsigned char> Manifest();
  static std::span<const unsigned char> Licenses();
};

}  // namespace tevra
