#pragma once

#include <cstdint>
#include <string>

namespace tevra {

inline constexpr std::uint32_t PAYLOAD_MAGIC = 0x55188155;
inline constexpr std::size_t kTrailerSize = 8;

// Splits sourcePath (program image, payload, 8-byte trailer) into imagePath
// and payloadPath. Both outputs are created or truncated (never through a
// symbolic link) before the source is looked at. False on any failure,
// including a read or write error during the copy.
bool ExtractPayload(const char* sourcePath, const char* imagePath, const char* payloadPath);

}  // namespace tevra
