#include "payload/payload_paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

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

// A directory we may put the extracted files in: a real directory (not a
// link to one) of our own.
bool IsOwnDirectory(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) < 0) {
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    errno = ELOOP;
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    errno = EPERM;
    return false;
  }
  return true;
}

// mkdir -p with mode 0700 for every directory it creates.
bool MakeDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    struct stat st {};
    if (::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      continue;
    }
    if (::mkdir(parent.c_str(), S_IRWXU) < 0 && errno != EEXIST) {
      return false;
    }
  }
  if (::mkdir(path.c_str(), S_IRWXU) < 0 && errno != EEXIST) {
    return false;
  }
  return IsOwnDirectory(path);
}

}  // namespace

std::string PayloadDirectory() {
  std::string base = AbsoluteEnv("XDG_RUNTIME_DIR");
  if (base.empty()) {
    base = AbsoluteEnv("XDG_CACHE_HOME");
  }
  if (base.empty()) {
    const std::string home = HomeDirectory();
    if (home.empty()) {
      return {};
    }
    base = home + "/.cache";
  }
  while (base.size() > 1 && base.back() == '/') {
    base.pop_back();
  }
  std::string dir = (base == "/" ? std::string() : base) + "/" + kDirectoryName;
  if (!MakeDirectories(dir)) {
    return {};
  }
  return dir;
}

std::string SelfExecutablePath() {
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
