// The window module's bytes, in a read-only section of its own name, so that
// tools can take it out (objcopy --dump-section .tevra_window=FILE).
#include "app/window_module_image.h"

__asm__(
    ".section .tevra_window,\"a\",@progbits\n"
    ".balign 64\n"
    ".globl tevra_window_image_begin\n"
    ".hidden tevra_window_image_begin\n"
    "tevra_window_image_begin:\n"
    ".incbin \"" TEVRA_WINDOW_MODULE_FILE
    "\"\n"
    ".globl tevra_window_image_end\n"
    ".hidden tevra_window_image_end\n"
    "tevra_window_image_end:\n"
    ".previous\n");

extern "C" const unsigned char tevra_window_image_begin[];  // NOLINT: defined above
extern "C" const unsigned char tevra_window_image_end[];    // NOLINT: defined above

namespace tevra {

std::span<const unsigned char> WindowModuleImage() {
  return {tevra_window_image_begin, tevra_window_image_end};
}

}  // namespace tevra
