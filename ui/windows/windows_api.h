#pragma once

// <windows.h> for the window's code. The project's own constants that
// <windows.h> also defines as macros (IDOK, EV_RXCHAR, CE_FRAME...) are
// declared first, with the same values, so that both headers can be used in
// one file: after this, such a name is the system's macro.
#include "platform/comm_bits.h"
#include "res/resource.h"
// clang-format off: the order above matters.
#include <windows.h>
// clang-format on

namespace tevra::win32 {

// The pointer that a message parameter or a window's slot carries: the
// system passes pointers through integers.
template <typename T>
T* PointerFrom(LONG_PTR value) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  return reinterpret_cast<T*>(value);
}

}  // namespace tevra::win32
