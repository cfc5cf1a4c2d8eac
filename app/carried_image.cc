// The carried files' bytes, each in a section the ELF headers describe (a
// bundled payload then still starts after the program's end), named so that
// tools can take them out (objcopy --dump-section).
#include "app/carried_image.h"

// clang-format off
#define TEVRA_CARRIED_BLOB(name, file)               \
  ".section ." #name ",\"a\",@progbits\n"            \
  ".balign 64\n"                                     \
  ".globl " #name "_begin\n"                         \
  ".hidden " #name "_begin\n" #name "_begin:\n"      \
  ".incbin \"" file "\"\n"                            \
  ".globl " #name "_end\n"                           \
  ".hidden " #name "_end\n" #name "_end:\n"          \
  ".previous\n"
// clang-format on

__asm__(TEVRA_CARRIED_BLOB(tevra_carried_archive, TEVRA_CARRIED_DIR "/qt.zst"));
__asm__(TEVRA_CARRIED_BLOB(tevra_carried_manifest, TEVRA_CARRIED_DIR "/qt.manifest"));
__asm__(TEVRA_CARRIED_BLOB(tevra_carried_licenses, TEVRA_CARRIED_DIR "/licenses.xz"));

// NOLINTBEGIN: defined above
extern "C" const unsigned char tevra_carried_archive_begin[];
extern "C" const unsigned char tevra_carried_archive_end[];
extern "C" const unsigned char tevra_carried_manifest_begin[];
extern "C" const unsigned char tevra_carried_manifest_end[];
extern "C" const unsigned char tevra_carried_licenses_begin[];
extern "C" const unsigned char tevra_carried_licenses_end[];
// NOLINTEND

namespace tevra {

std::span<const unsigned char> CarriedImage::Archive() {
  return {tevra_carried_archive_begin, tevra_carried_archive_end};
}

std::span<const unsigned char> CarriedImage::Manifest() {
  return {tevra_carried_manifest_begin, tevra_carried_manifest_end};
}

std::span<const unsigned char> CarriedImage::Licenses() {
  return {tevra_carried_licenses_begin, tevra_carried_licenses_end};
}

}  // namespace tevra
