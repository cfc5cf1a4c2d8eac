#pragma once

#include <string>

#include "payload/payload_layout.h"
#include "platform/file.h"

namespace tevra {

// What an extraction for sending gives back.
struct ExtractedPayload {
  // On success: the payload file exactly as written, open for reading (by
  // offset: ReadAt). The bytes to send are read through it, never through
  // the path again, so nothing swapped in at the path afterwards is sent.
  File payload;
  // On failure: one line naming the file at fault and the cause.
  std::string problem;

  bool ok() const { return payload.valid(); }
};

// Splits sourcePath (program image, payload, 8-byte trailer) into imagePath
// and payloadPath. Each output is created fresh before the source is looked
// at (CreateFreshFile: a regular file already there is removed first, so a
// hard link to another file is never written through; a symbolic link or
// other reparse point (ELOOP), a directory (EISDIR) or any other kind of
// file (EINVAL) at an output path is refused and left alone). No open ever
// blocks on a FIFO or device. After a failed copy both outputs are left
// empty, so a short payload never looks like a good one. errno tells why (EINVAL for a source that
// LocatePayload refuses: no payload, or a damaged one).
ExtractedPayload ExtractPayloadForSending(const char* sourcePath, const char* imagePath,
                                          const char* payloadPath);

// The same, reporting only success; false on any failure, errno set.
bool ExtractPayload(const char* sourcePath, const char* imagePath, const char* payloadPath);

}  // namespace tevra
