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
// trailer. An empty payload, and an updater without a program image (empty,
// or with a trailer that claims the whole file), are refused: the result
// could not work. An updater that already carries a valid trailer contributes only
// its program image, so repacking replaces the payload instead of nesting
// it. The output takes the updater's permission bits and appears only
// complete: it is written under a temporary name in its own directory and
// renamed at the end; an existing output that is not a regular file (a
// link, a device) is refused rather than replaced. False with a one-line reason in error on
// failure; an earlier file at outputPath is then left as it was.
bool PackBundle(const std::string& updaterPath, const std::string& payloadPath,
                const std::string& outputPath, std::string& error);

// The layout of a bundled file that can work: a valid trailer, a program
// image and a payload that are both non-empty. Otherwise nothing, and error
// says in one line what is wrong (unreadable, no or a bad trailer, damaged).
std::optional<PayloadLayout> InspectBundle(const std::string& path, std::string& error);

// The tevra-bundle command line, without the program name. Returns the exit
// status: 0 done, 1 failed (one line on err), 2 wrong arguments (usage on
// err).
int RunBundleTool(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

}  // namespace tevra
