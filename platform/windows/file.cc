#include "platform/file.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

#include "platform/windows/system_path.h"

namespace tevra {
namespace {

HANDLE Handle(const File& file) {
  return reinterpret_cast<HANDLE>(file.native());  // NOLINT(performance-no-int-to-ptr)
}

File Own(HANDLE handle) {
  return File(reinterpret_cast<std::intptr_t>(handle));
}

// One call reads or writes at most this much: the calls count in DWORDs.
constexpr DWORD kMaxPiece = DWORD{1} << 30;

std::wstring PathOrFail(const std::string& path) {
  std::wstring wide = win32::SystemPath(path);
  if (wide.empty()) {
    errno = path.empty() ? ENOENT : EINVAL;
  }
  return wide;
}

// Removes a regular file's name so that a fresh file can take it. Moved
// aside first: a file another program still holds (with delete sharing)
// keeps its name until closed, and would block the new file meanwhile.
bool RemoveName(const std::wstring& path) {
  static std::atomic<unsigned> counter{0};
  const std::wstring aside = path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(counter++) + L".old";
  if (MoveFileExW(path.c_str(), aside.c_str(), 0)) {
    // Gone at once, or when its last holder closes it.
    (void)DeleteFileW(aside.c_str());
    return true;
  }
  if (DeleteFileW(path.c_str())) {
    return true;
  }
  win32::SetFileErrno();
  return false;
}

}  // namespace

bool File::Close() {
  if (native_ == -1) {
    return true;
  }
  const HANDLE handle = reinterpret_cast<HANDLE>(std::exchange(native_, -1));  // NOLINT
  if (!CloseHandle(handle)) {
    win32::SetFileErrno();
    return false;
  }
  return true;
}

File OpenFileToRead(const std::string& path) {
  const std::wstring wide = PathOrFail(path);
  if (wide.empty()) {
    return File();
  }
  // Backup semantics open a folder too, so that it is named as one.
  File file = Own(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    win32::SetFileErrno();
    return file;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(Handle(file)) != FILE_TYPE_DISK) {
    errno = EINVAL;
    return File();
  }
  if (!GetFileInformationByHandle(Handle(file), &info)) {
    win32::SetFileErrno();
    return File();
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    errno = EISDIR;
    return File();
  }
  return file;
}

File CreateFreshFile(const std::string& path) {
  const std::wstring wide = PathOrFail(path);
  if (wide.empty()) {
    return File();
  }
  // Attributes of the name itself: a link is not followed here.
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      errno = ELOOP;
      return File();
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      errno = EISDIR;
      return File();
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
      errno = EINVAL;
      return File();
    }
    if (!RemoveName(wide)) {
      return File();
    }
  }
  // CREATE_NEW takes nothing that exists, a link to nowhere included.
  File file = Own(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    win32::SetFileErrno();
  }
  return file;
}

std::optional<std::uint64_t> FileSize(const File& file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(Handle(file), &size)) {
    win32::SetFileErrno();
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::int64_t ReadAt(const File& file, std::uint64_t offset, std::uint8_t* data, std::size_t count) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX) ||
      count > static_cast<std::uint64_t>(INT64_MAX) - offset) {
    errno = EOVERFLOW;
    return -1;
  }
  std::size_t got = 0;
  while (got < count) {
    const std::uint64_t at = offset + got;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    const auto want = static_cast<DWORD>(std::min<std::size_t>(count - got, kMaxPiece));
    DWORD n = 0;
    if (!ReadFile(Handle(file), data + got, want, &n, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) {
        break;
      }
      win32::SetFileErrno();
      return -1;
    }
    if (n == 0) {
      break;
    }
    got += n;
  }
  return static_cast<std::int64_t>(got);
}

bool WriteFully(const File& file, const std::uint8_t* data, std::size_t count) {
  while (count > 0) {
    const auto want = static_cast<DWORD>(std::min<std::size_t>(count, kMaxPiece));
    DWORD n = 0;
    if (!WriteFile(Handle(file), data, want, &n, nullptr)) {
      win32::SetFileErrno();
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    count -= n;
  }
  return true;
}

bool Truncate(const File& file, std::uint64_t size) {
  if (size > static_cast<std::uint64_t>(INT64_MAX)) {
    errno = EFBIG;
    return false;
  }
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(Handle(file), FileEndOfFileInfo, &end, sizeof end)) {
    win32::SetFileErrno();
    return false;
  }
  return true;
}

File Duplicate(const File& file) {
  HANDLE copy = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), Handle(file), GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    win32::SetFileErrno();
    return File();
  }
  return Own(copy);
}

}  // namespace tevra
