#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "payload/payload_layout.h"

namespace tevra {

// Largest payload the trailer's 32-bit length can describe.
inline constexpr std::uint64_t kMaxPayloadBytes = 0xFFFFFFFFu;

// Writes outputPath as the updater's program image, the payload, then the
// trailer. The updater must be an ELF or PE program (LocatePayload):
// without a trailer all of it is the image; with a valid one only its image
// is taken, so repacking replaces the payload instead of nesting it; a
// damaged one is refused, as is an empty payload, and a signed PE: its
// signature would not cover the payload, so the result is to be signed
// instead. The output takes the updater's permission bits and appears only
// complete: it is written under a temporary name in its own directory and
// renamed at the end; an existing output that is not a regular file (a
// link, a device) is refused rather than replaced. False with a one-line
// reason in error on failure; an earlier file at outputPath is then left as
// it was.
bool PackBundle(const std::string& updaterPath, const std::string& payloadPath,
                const std::string& outputPath, std::string& error);

// The layout of a bundled file whose payload LocatePayload accepts, and
// the payload's SHA-256 in hex into `sha256` when given. Otherwise nothing,
// and error says in one line what is wrong (unreadable, no program, no or a
// bad trailer, damaged).
std::optional<PayloadLayout> InspectBundle(const std::string& path, std::string& error,
                                           std::string* sha256 = nullptr);

// The updaters `pack` takes when given no --updater.
struct CarriedUpdaters {
  std::string portable;  // by default: the package's portable updater
  std::string windows;   // with --windows: the package's Windows updater
};

// The tevra-bundle command line, without the program name. `pack` without
// --updater takes carried.portable, or with --windows carried.windows; when
// no file is there it says so in one line. `pack` replaces an existing
// output only with --force, and says what it wrote: the file and its size,
// the firmware's size and SHA-256. `inspect` also names a signed PE's
// certificate table. Returns the exit status: 0 done, 1 failed (one line on
// err), 2 wrong arguments (usage, or that one line, on err).
int RunBundleTool(std::span<const std::string_view> args, const CarriedUpdaters& carried,
                  std::ostream& out, std::ostream& err);

}  // namespace tevra
