// The portable build's window libraries (see window_libraries.h).
#include <dlfcn.h>
#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/carried_archive.h"
#include "app/carried_image.h"
#include "app/window_libraries.h"
#include "payload/payload_paths.h"
#include "platform/diagnostics.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

// A user's own builds of the carried libraries (LGPL): DIR/lib/<soname>
// replaces the carried one, DIR/plugins the carried plugins.
constexpr char kQtDirVariable[] = "TEVRA_QT_DIR";

std::string ErrnoText() {
  return std::generic_category().message(errno);
}

std::string Hex(std::uint64_t value) {
  std::array<char, 17> text{};
  static_cast<void>(
      std::snprintf(text.data(), text.size(), "%016llx", static_cast<unsigned long long>(value)));
  return text.data();
}

// The cache directory's entries, checked: the open descriptors, in
// manifest order; empty with *problem set when any is missing or wrong.
std::vector<UniqueFd> OpenChecked(int dirFd, const std::vector<CarriedEntry>& entries,
                                  std::string* problem) {
  std::vector<UniqueFd> files;
  for (const CarriedEntry& e : entries) {
    // Not blocking: a FIFO put there would hold open() for ever; the check
    // then refuses it as not a regular file, and the cache is unpacked afresh.
    UniqueFd fd(::openat(dirFd, e.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    std::string why = fd.valid() ? CarriedFileProblem(fd.get(), e) : ErrnoText();
    if (!why.empty()) {
      *problem = e.path + " " + why;
      return {};
    }
    files.push_back(std::move(fd));
  }
  return files;
}

// Why dir may not be trusted; empty when it may.
std::string DirectoryProblem(const std::string& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) < 0) {
    return ErrnoText();
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "is not a private directory of this user; remove it";
  }
  return {};
}

struct LzmaEnd {
  void operator()(lzma_stream* s) const { lzma_end(s); }
};

void RemoveTree(const std::string& path) {
  std::error_code ignored;  // what is left is retried on the next start
  std::filesystem::remove_all(path, ignored);
}

// Another version's copy that nobody has started for this long is removed
// when a new version unpacks; a copy in use is never that old (each start
// marks it), and removing one only costs its next start an unpacking.
constexpr auto kUnusedCopyAge = std::chrono::days(14);

// "qt-" and 16 hexadecimal digits, or what mkdtemp made of ".qt-XXXXXX"
// and ".stale-XXXXXX".
bool IsOurName(std::string_view name) {
  const auto all = [](std::string_view text, std::size_t count, auto&& is) {
    return text.size() == count && std::all_of(text.begin(), text.end(), is);
  };
  const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  const auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  return (name.starts_with("qt-") && all(name.substr(3), 16, hex)) ||
         (name.starts_with(".qt-") && all(name.substr(4), 6, alnum)) ||
         (name.starts_with(".stale-") && all(name.substr(7), 6, alnum));
}

// Removes, under base, the copies of other versions unused for
// kUnusedCopyAge and what an unpacking cut short left; only directories of
// this user with the names the updater gives them.
void RemoveUnusedCopies(const std::string& base, const std::string& ours) {
  const auto oldest = std::filesystem::file_time_type::clock::now() - kUnusedCopyAge;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
    const std::string name = entry.path().filename().string();
    std::error_code ignored;
    if (entry.path() == ours || !IsOurName(name) ||
        !DirectoryProblem(entry.path().string()).empty() ||
        std::filesystem::last_write_time(entry.path(), ignored) > oldest || ignored) {
      continue;
    }
    RemoveTree(entry.path().string());
  }
}

// The checked cache directory of this build's files, unpacked when missing
// or damaged; its descriptors go to *files in manifest order.
std::string CacheOfThisBuild(const std::vector<CarriedEntry>& entries, std::vector<UniqueFd>* files,
                             std::string* problem) {
  std::string why;
  const std::string base = CacheDirectory(&why);
  if (base.empty()) {
    *problem = "no cache directory for the carried libraries: " + why;
    return {};
  }
  struct statvfs fs {};
  if (::statvfs(base.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC) != 0) {
    *problem = Printable(base) +
               " is on a file system mounted noexec, where the carried libraries cannot run; "
               "set XDG_CACHE_HOME to a directory on another";
    return {};
  }
  const std::span<const unsigned char> manifest = CarriedImage::Manifest();
  std::string dir = base + "/qt-" + Hex(lzma_crc64(manifest.data(), manifest.size(), 0));
  for (int attempt = 0; attempt < 3; ++attempt) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0) {
      why = DirectoryProblem(dir);
      if (!why.empty()) {
        *problem = Printable(dir) + " " + why;
        return {};
      }
      const UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (dirFd.valid()) {
        *files = OpenChecked(dirFd.get(), entries, &why);
        if (!files->empty()) {
          // In use: see RemoveUnusedCopies.
          static_cast<void>(::futimens(dirFd.get(), nullptr));
          return dir;
        }
      }
      // Damaged or half removed: set aside, then unpacked afresh.
      std::string aside = base + "/.stale-XXXXXX";
      if (::mkdtemp(aside.data()) == nullptr ||
          ::rename(dir.c_str(), (aside + "/qt").c_str()) < 0) {
        *problem = Printable(dir) + ": " + why + "; cannot replace it: " + ErrnoText();
        return {};
      }
      RemoveTree(aside);
    }
    std::string fresh = base + "/.qt-XXXXXX";
    if (::mkdtemp(fresh.data()) == nullptr) {
      *problem = Printable(base) + ": " + ErrnoText();
      return {};
    }
    const UniqueFd freshFd(::open(fresh.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!freshFd.valid() || !UnpackCarried(freshFd.get(), entries, &why)) {
      *problem = "unpacking the carried libraries: " + (freshFd.valid() ? why : ErrnoText());
      RemoveTree(fresh);
      return {};
    }
    RemoveUnusedCopies(base, dir);
    // Another updater may have finished first: then its copy is checked.
    if (::rename(fresh.c_str(), dir.c_str()) < 0) {
      const int error = errno;
      RemoveTree(fresh);
      if (error != EEXIST && error != ENOTEMPTY) {
        *problem = Printable(dir) + ": " + std::generic_category().message(error);
        return {};
      }
    }
  }
  *problem = Printable(dir) + " keeps failing its check: " + why;
  return {};
}

// The user's own copy at path of a carried library: invalid when there is
// none, and with *problem set when the one there may not be loaded. Opened
// without blocking (a FIFO would hold open() for ever) and without following
// a link, then loaded by descriptor: what was checked is what loads.
UniqueFd OpenOwnLibrary(const std::string& path, std::string* problem) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() && errno == ENOENT) {
    return fd;
  }
  if (!fd.valid() && errno == ELOOP) {
    *problem =
        Printable(path) + " is a symbolic link, which is not followed; copy the library there";
  } else if (!fd.valid() || ::fstat(fd.get(), &st) < 0) {
    *problem = Printable(path) + ": " + ErrnoText();
  } else if (!S_ISREG(st.st_mode)) {
    *problem = Printable(path) + " is not a regular file";
  }
  return problem->empty() ? std::move(fd) : UniqueFd();
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

WindowLibraries PrepareWindowLibraries() {
  WindowLibraries result;
  const std::vector<CarriedEntry> entries = CarriedEntries();
  std::vector<UniqueFd> files;
  const std::string cache = CacheOfThisBuild(entries, &files, &result.problem);
  if (cache.empty()) {
    return result;
  }
  const char* userDir = std::getenv(kQtDirVariable);  // NOLINT(concurrency-mt-unsafe): one thread
  const std::string own = userDir != nullptr && userDir[0] == '/' ? userDir : "";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].library) {
      continue;
    }
    const std::string soname = entries[i].path.substr(entries[i].path.rfind('/') + 1);
    if (entries[i].fallback && ::dlopen(soname.c_str(), RTLD_NOW | RTLD_GLOBAL) != nullptr) {
      continue;
    }
    std::string refused;
    UniqueFd ownFd =
        own.empty() ? UniqueFd() : OpenOwnLibrary(own + "/" + entries[i].path, &refused);
    if (!refused.empty()) {
      result.problem = std::string(kQtDirVariable) + ": " + refused;
      return result;
    }
    const std::string from = ownFd.valid() ? " (from " + std::string(kQtDirVariable) + ")" : "";
    const std::string path =
        "/proc/self/fd/" + std::to_string(ownFd.valid() ? ownFd.get() : files[i].get());
    // By descriptor, leaves first: each library's needs are then already
    // loaded under their sonames, whatever LD_LIBRARY_PATH says.
    if (::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr) {
      const char* why = ::dlerror();  // NOLINT(concurrency-mt-unsafe): one thread
      result.problem = entries[i].path + from +
                       " does not load: " + Printable(why != nullptr ? why : "dlopen failed");
      return result;
    }
    if (ownFd.valid()) {
      result.loadedFrom.push_back(std::move(ownFd));
    }
  }
  std::ranges::move(files, std::back_inserter(result.loadedFrom));
  result.pluginDirectory =
      !own.empty() && IsDirectory(own + "/plugins") ? own + "/plugins" : cache + "/plugins";
  result.fontDirectory = cache + "/fonts";
  if (!own.empty()) {
    Diagnose(std::string("Qt from ") + kQtDirVariable + "=" + Printable(own) + ", plugins from " +
             Printable(result.pluginDirectory));
  }
  // Only xcb and offscreen travel: a session that asks for another platform
  // (wayland) falls back to xcb, which XWayland serves.
  const char* platform = std::getenv("QT_QPA_PLATFORM");  // NOLINT(concurrency-mt-unsafe)
  if (platform != nullptr && platform[0] != '\0' && std::strstr(platform, "xcb") == nullptr) {
    ::setenv("QT_QPA_PLATFORM",  // NOLINT(concurrency-mt-unsafe): before any thread
             (std::string(platform) + ";xcb").c_str(), 1);
  }
  // Qt would otherwise add these directories, and a system Qt's plugins.
  ::unsetenv("QT_PLUGIN_PATH");            // NOLINT(concurrency-mt-unsafe): before any thread
  ::setenv("QT_QPA_PLATFORM_PLUGIN_PATH",  // NOLINT(concurrency-mt-unsafe): before any thread
           (result.pluginDirectory + "/platforms").c_str(), 1);
  return result;
}

std::string CarriedLicenses() {
  const std::span<const unsigned char> packed = CarriedImage::Licenses();
  std::string text;
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&stream, UINT64_MAX, 0) != LZMA_OK) {
    return text;
  }
  const std::unique_ptr<lzma_stream, LzmaEnd> owner(&stream);
  stream.next_in = packed.data();
  stream.avail_in = packed.size();
  std::array<char, 65536> buffer{};
  lzma_ret ret = LZMA_OK;
  while (ret == LZMA_OK) {
    stream.next_out = reinterpret_cast<std::uint8_t*>(buffer.data());  // NOLINT: bytes
    stream.avail_out = buffer.size();
    ret = lzma_code(&stream, LZMA_FINISH);
    text.append(buffer.data(), buffer.size() - stream.avail_out);
  }
  return ret == LZMA_STREAM_END ? text : std::string();
}

}  // namespace tevra
