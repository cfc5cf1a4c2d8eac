#include "platform/user_directory.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "platform/diagnostics.h"

namespace tevra {
namespace {

constexpr char kDirectoryName[] = "tevra-updater";

// Relative values are ignored, as the XDG base directory rules ask: they
// would depend on wherever the updater happened to be started.
std::string AbsoluteEnv(const char* name) {
  const char* v = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read-only use
  if (v == nullptr || v[0] != '/') {
    return {};
  }
  return v;
}

std::string HomeDirectory() {
  std::string home = AbsoluteEnv("HOME");
  if (!home.empty()) {
    return home;
  }
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
  passwd entry{};
  passwd* found = nullptr;
  int rc = 0;
  while ((rc = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    errno = rc != 0 ? rc : ENOENT;
    return {};
  }
  return found->pw_dir;
}

// Why path cannot hold the extracted files; empty when it can: a real
// directory (not a link to one) of our own that nobody else can write to.
std::string DirectoryProblem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) < 0) {
    return std::generic_category().message(errno);
  }
  if (S_ISLNK(st.st_mode)) {
    errno = ELOOP;
    return "is a symbolic link";
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return "is not a directory";
  }
  if (st.st_uid != ::geteuid()) {
    errno = EPERM;
    return "belongs to another user";
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::array<char, 96> text{};
    static_cast<void>(std::snprintf(text.data(), text.size(),
                                    "is writable by other users (mode %04o); chmod 700 it",
                                    static_cast<unsigned>(st.st_mode & 07777)));
    errno = EPERM;
    return text.data();
  }
  return {};
}

// mkdir with exactly mode 0700: the umask could leave out the owner's own
// bits. False (errno set) unless the directory exists afterwards.
bool MakePrivateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), S_IRWXU) == 0) {
    return ::fchmodat(AT_FDCWD, path.c_str(), S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0;
  }
  return errno == EEXIST;
}

// mkdir -p, each directory it creates private.
std::string MakeDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    struct stat st {};
    if (::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      continue;
    }
    if (!MakePrivateDirectory(parent)) {
      return Printable(parent) + ": " + std::generic_category().message(errno);
    }
  }
  if (!MakePrivateDirectory(path)) {
    return Printable(path) + ": " + std::generic_category().message(errno);
  }
  const std::string problem = DirectoryProblem(path);
  return problem.empty() ? problem : Printable(path) + " " + problem;
}

}  // namespace

std::string UserDirectory(UserDirectoryUse use, std::string* problem) {
  std::string scratch;
  std::string& why = problem != nullptr ? *problem : scratch;
  std::string base = use == UserDirectoryUse::kRun ? AbsoluteEnv("XDG_RUNTIME_DIR") : std::string();
  if (base.empty()) {
    base = AbsoluteEnv("XDG_CACHE_HOME");
  }
  if (base.empty()) {
    const std::string home = HomeDirectory();
    if (home.empty()) {
      const int error = errno;
      why = "no home directory: " + std::generic_category().message(error);
      errno = error;
      return {};
    }
    base = home + "/.cache";
  }
  while (base.size() > 1 && base.back() == '/') {
    base.pop_back();
  }
  std::string dir = (base == "/" ? std::string() : base) + "/" + kDirectoryName;
  why = MakeDirectories(dir);
  if (!why.empty()) {
    return {};
  }
  return dir;
}

std::string OwnProgramPath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      return {};
    }
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    }
    // Possibly cut short: readlink does not say, so try a larger buffer.
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace tevra
