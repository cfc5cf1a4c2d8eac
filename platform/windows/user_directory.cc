#include "platform/user_directory.h"

// clang-format off
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
// clang-format on

#include <cerrno>
#include <string_view>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/windows/system_error.h"
#include "platform/windows/system_path.h"

namespace tevra {
namespace {

// Under the user's local application data: the vendor, then the program.
constexpr std::wstring_view kSubfolders[] = {L"Tevra", L"tevra-updater"};

std::wstring LocalAppData() {
  wchar_t* path = nullptr;
  std::wstring result;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &path)) &&
      path != nullptr) {
    result = path;
  }
  CoTaskMemFree(path);
  return result;
}

// Why the folder at path cannot hold the files, to follow its name; empty
// when it can. Made when missing; a reparse point planted there (a junction
// to a folder others can write) is not followed.
std::string FolderProblem(const std::wstring& path) {
  const std::wstring system = win32::SystemPath(win32::Narrow(path));
  if (CreateDirectoryW(system.c_str(), nullptr)) {
    return {};
  }
  const DWORD created = GetLastError();
  const DWORD attributes = GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = created == ERROR_ALREADY_EXISTS ? GetLastError() : created;
    errno = win32::FileErrno(error);
    return ": " + win32::SystemMessage(error);
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    errno = ELOOP;
    return " is a link (a reparse point); not following it";
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    errno = ENOTDIR;
    return " is not a folder";
  }
  return {};
}

}  // namespace

std::string UserDirectory(UserDirectoryUse /*use*/, std::string* problem) {
  std::string scratch;
  std::string& why = problem != nullptr ? *problem : scratch;
  std::wstring dir = LocalAppData();
  if (dir.empty()) {
    errno = ENOENT;
    why = "the system names no local application data folder for this user";
    return {};
  }
  while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/')) {
    dir.pop_back();
  }
  for (const std::wstring_view name : kSubfolders) {
    dir += L'\\';
    dir += name;
    why = FolderProblem(dir);
    if (!why.empty()) {
      const int error = errno;
      why.insert(0, Printable(win32::Narrow(dir)));
      errno = error;
      return {};
    }
  }
  return win32::Narrow(dir);
}

std::string OwnProgramPath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      return {};
    }
    // A name that filled the buffer may have been cut short.
    if (n < buffer.size()) {
      return win32::Narrow(std::wstring_view(buffer.data(), n));
    }
    if (buffer.size() >= 32768) {
      return {};
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace tevra
