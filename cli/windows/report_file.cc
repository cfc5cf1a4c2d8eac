#include "cli/report_file.h"

#include <windows.h>

#include <algorithm>

#include "platform/windows/system_error.h"

namespace tevra {

ReportFile::ReportFile(const std::string& path) {
  const std::wstring wide = win32::Widen(path);
  if (wide.empty()) {
    error_ = "not a file name (no valid UTF-8)";
    return;
  }
  // Shared with every other reader and writer: the lock, not the opening,
  // keeps writers apart.
  const HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Failed();
    return;
  }
  handle_ = h;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    error_ = "not a regular file";
    return;
  }
  valid_ = true;
}

ReportFile::~ReportFile() {
  if (handle_ == nullptr) {
    return;
  }
  if (locked_) {
    OVERLAPPED whole{};
    (void)UnlockFileEx(handle_, 0, MAXDWORD, MAXDWORD, &whole);
  }
  (void)CloseHandle(handle_);
}

void ReportFile::Failed() {
  error_ = win32::SystemMessage(GetLastError());
}

ReportFile::Lock ReportFile::TryLock() {
  OVERLAPPED whole{};
  if (LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                 MAXDWORD, &whole) != 0) {
    locked_ = true;
    return Lock::kTaken;
  }
  if (GetLastError() == ERROR_LOCK_VIOLATION) {
    return Lock::kHeld;
  }
  Failed();
  return Lock::kFailed;
}

std::optional<std::uint64_t> ReportFile::Size() {
  LARGE_INTEGER size{};
  if (GetFileSizeEx(handle_, &size) == 0) {
    Failed();
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::optional<std::size_t> ReportFile::Append(std::string_view line) {
  // Both halves of the offset all ones: at the end of the file, wherever
  // that is when the system writes.
  OVERLAPPED atEnd{};
  atEnd.Offset = MAXDWORD;
  atEnd.OffsetHigh = MAXDWORD;
  DWORD written = 0;
  const auto count = static_cast<DWORD>(std::min<std::size_t>(line.size(), MAXDWORD));
  if (WriteFile(handle_, line.data(), count, &written, &atEnd) == 0) {
    Failed();
    return std::nullopt;
  }
  return written;
}

bool ReportFile::Truncate(std::uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end) == 0) {
    Failed();
    return false;
  }
  return true;
}

bool ReportFile::Sync() {
  if (FlushFileBuffers(handle_) == 0) {
    Failed();
    return false;
  }
  return true;
}

}  // namespace tevra
