#include "platform/file_name.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace tevra {
namespace {

int Fd(const File& file) {
  return static_cast<int>(file.native());
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<NameKind> KindAt(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    return S_ISREG(st.st_mode) ? NameKind::kRegular : NameKind::kOther;
  }
  if (errno == ENOENT || errno == ENOTDIR) {
    return NameKind::kNone;
  }
  return std::nullopt;
}

File CreateTemporaryBeside(const std::string& path, std::string* created) {
  constexpr std::string_view kSuffix = ".XXXXXX";
  const std::string directory = DirectoryOf(path);
  const std::size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // No longer than the file system allows a name to be, however long
  // path's own name is.
  const long limit = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  const std::size_t maxName = limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
  const std::size_t room = maxName > kSuffix.size() + 1 ? maxName - kSuffix.size() - 1 : 0;
  std::string name = directory + "/." + base.substr(0, room) + std::string(kSuffix);
  File file(::mkostemp(name.data(), O_CLOEXEC));
  if (file.valid()) {
    *created = name;
  }
  return file;
}

bool CopyPermissions(const File& from, const File& to) {
  struct stat st {};
  return ::fstat(Fd(from), &st) == 0 &&
         ::fchmod(Fd(to), st.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO)) == 0;
}

bool FlushToDisk(const File& file) {
  return ::fsync(Fd(file)) == 0;
}

bool RenameOver(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFileName(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

}  // namespace tevra
