#pragma once

#include <cstdint>
#include <string>

#include "payload/payload_layout.h"

namespace tevra {

// Splits sourcePath (program image, payload, 8-byte trailer) into imagePath
// and payloadPath. Both outputs are created or truncated (never through a
// symbolic link) before the source is looked at. False on any failure,
// including a read or write error during the copy; after a failed copy both
// outputs are left empty, so a short payload never looks like a good one.
// errno tells why (EINVAL for a source without a valid trailer).
bool ExtractPayload(const char* sourcePath, const char* imagePath, const char* payloadPath);

}  // namespace tevra
