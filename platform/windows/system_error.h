#pragma once

#include <string>
#include <string_view>

namespace tevra::win32 {

// The errno that callers of the platform layer test for, for a Win32 error
// code (GetLastError()); EIO for codes without a closer match.
int ErrnoFor(unsigned long error);
// Sets errno from GetLastError(); returns the Win32 code.
unsigned long SetErrnoFromLastError();

// The system's own words for a Win32 error code (FormatMessageW), one line,
// UTF-8; "error N" when the system has none.
std::string SystemMessage(unsigned long error);

// UTF-8 to the system's UTF-16; empty for text that is not valid UTF-8.
std::wstring Widen(std::string_view utf8);

}  // namespace tevra::win32
