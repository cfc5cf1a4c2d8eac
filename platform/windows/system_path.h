#pragma once

#include <string>
#include <string_view>

namespace tevra::win32 {

// A UTF-8 path as the system's file calls take it: UTF-16, and past the
// length the classic calls accept (MAX_PATH, less for folders) in the
// "\\?\" form, made absolute first because that form takes the path
// literally. Empty for a path that is empty or not valid UTF-8.
std::wstring SystemPath(std::string_view utf8);

// The system's UTF-16 as UTF-8; empty when it is not valid UTF-16 (an
// unpaired surrogate, which a Windows file name may hold).
std::string Narrow(std::wstring_view wide);

// errno for a Win32 error code of a file call; ErrnoFor's where they agree
// (ERROR_ACCESS_DENIED is EACCES here: a file, not a port in use).
int FileErrno(unsigned long error);
// Sets errno from GetLastError() with FileErrno.
void SetFileErrno();

}  // namespace tevra::win32
