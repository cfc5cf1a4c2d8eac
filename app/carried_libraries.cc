// The portable build's window libraries (see window_libraries.h).
#include <dlfcn.h>
#include <fcntl.h>
#include <lzma.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/carried_image.h"
#include "app/window_libraries.h"
#include "payload/payload_paths.h"
#include "platform/diagnostics.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

// A user's own builds of the carried libraries (LGPL): DIR/lib/<soname>
// replaces the carried one, DIR/plugins the carried plugins.
constexpr char kQtDirVariable[] = "TEVRA_QT_DIR";

struct Entry {
  bool library = false;   // loaded in this order; otherwise a plugin or a font Qt loads
  bool fallback = false;  // a library loaded only when the system has none of its name
  std::uint64_t crc = 0;
  std::uint64_t size = 0;
  std::string path;  // relative, inside the cache directory
};

std::string ErrnoText() {
  return std::generic_category().message(errno);
}

std::vector<Entry> ParseManifest() {
  const std::span<const unsigned char> text = CarriedImage::Manifest();
  std::istringstream in(std::string(text.begin(), text.end()));
  std::vector<Entry> entries;
  std::string kind;
  std::string crc;
  Entry e;
  while (in >> kind >> crc >> e.size >> e.path) {
    e.fallback = kind == "fallback";
    e.library = kind == "lib" || e.fallback;
    e.crc = std::strtoull(crc.c_str(), nullptr, 16);
    entries.push_back(e);
  }
  return entries;
}

std::string Hex(std::uint64_t value) {
  std::array<char, 17> text{};
  static_cast<void>(
      std::snprintf(text.data(), text.size(), "%016llx", static_cast<unsigned long long>(value)));
  return text.data();
}

// Why the file open as fd is not the entry's; empty when it is: a regular
// file of this user that nobody else can write, of the right size and CRC.
std::string FileProblem(int fd, const Entry& e) {
  struct stat st {};
  if (::fstat(fd, &st) < 0) {
    return ErrnoText();
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "is not a private file of this user";
  }
  if (static_cast<std::uint64_t>(st.st_size) != e.size) {
    return "has the wrong size";
  }
  if (e.size == 0) {
    return {};
  }
  // Read, not mapped: a mapping would count all of ICU's data as resident.
  std::vector<std::uint8_t> buffer(std::size_t{1} << 17);
  std::uint64_t crc = 0;
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), at);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return ErrnoText();
    }
    if (n == 0) {
      break;
    }
    crc = lzma_crc64(buffer.data(), static_cast<std::size_t>(n), crc);
    at += n;
  }
  return crc == e.crc ? std::string() : "has changed since it was unpacked";
}

// The cache directory's entries, checked: the open descriptors, in
// manifest order; empty with *problem set when any is missing or wrong.
std::vector<UniqueFd> OpenChecked(int dirFd, const std::vector<Entry>& entries,
                                  std::string* problem) {
  std::vector<UniqueFd> files;
  for (const Entry& e : entries) {
    UniqueFd fd(::openat(dirFd, e.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    std::string why = fd.valid() ? FileProblem(fd.get(), e) : ErrnoText();
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

struct ZstdFree {
  void operator()(ZSTD_DCtx* c) const { ZSTD_freeDCtx(c); }
};

// Writes the frame's content into the new file e.path under dirFd; why it
// could not, or empty. The content must have the listed size and CRC64.
std::string UnpackOne(int dirFd, const Entry& e, std::span<const unsigned char> frame) {
  for (std::size_t slash = e.path.find('/'); slash != std::string::npos;
       slash = e.path.find('/', slash + 1)) {
    if (::mkdirat(dirFd, e.path.substr(0, slash).c_str(), S_IRWXU) < 0 && errno != EEXIST) {
      return ErrnoText();
    }
  }
  UniqueFd file(
      ::openat(dirFd, e.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IXUSR));
  const std::unique_ptr<ZSTD_DCtx, ZstdFree> context(ZSTD_createDCtx());
  if (!file.valid() || context == nullptr) {
    return file.valid() ? "cannot start the decompressor" : ErrnoText();
  }
  std::vector<std::uint8_t> buffer(ZSTD_DStreamOutSize());
  ZSTD_inBuffer in{frame.data(), frame.size(), 0};
  std::uint64_t written = 0;
  std::uint64_t crc = 0;
  for (std::size_t left = 1; left != 0;) {
    ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
    left = ZSTD_decompressStream(context.get(), &out, &in);
    if (ZSTD_isError(left) != 0U) {
      return std::string("is damaged in the carried archive (") + ZSTD_getErrorName(left) + ")";
    }
    if (left != 0 && out.pos == 0 && in.pos == in.size) {
      return "ends early in the carried archive";
    }
    if (out.pos > e.size - written) {
      return "is longer in the carried archive than its list says";
    }
    if (!WriteAll(file.get(), buffer.data(), out.pos)) {
      return ErrnoText();
    }
    crc = lzma_crc64(buffer.data(), out.pos, crc);
    written += out.pos;
  }
  if (written != e.size || crc != e.crc) {
    return "in the carried archive does not match its list";
  }
  // The frame's pages of the updater's file are not needed again: they
  // leave the resident memory (they stay in the page cache).
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto first = (reinterpret_cast<std::uintptr_t>(frame.data()) + page - 1) & ~(page - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(frame.data()) + frame.size()) & ~(page - 1);
  if (last > first) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the pages of the frame's own span
    static_cast<void>(::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED));
  }
  return file.Close() ? std::string() : ErrnoText();
}

// Unpacks every entry into the empty directory dirFd, two at a time, the
// largest first (ICU's data is half of it); false with *problem set. The
// frames' 2 MiB windows keep the first start's memory near a later one's.
bool Unpack(int dirFd, const std::vector<Entry>& entries, std::string* problem) {
  const std::span<const unsigned char> archive = CarriedImage::Archive();
  std::vector<std::span<const unsigned char>> frames;
  for (std::size_t at = 0; at < archive.size();) {
    const std::size_t size = ZSTD_findFrameCompressedSize(&archive[at], archive.size() - at);
    if (ZSTD_isError(size) != 0U) {
      *problem = std::string("the carried archive is damaged (") + ZSTD_getErrorName(size) + ")";
      return false;
    }
    frames.push_back(archive.subspan(at, size));
    at += size;
  }
  if (frames.size() != entries.size()) {
    *problem = "the carried archive holds " + std::to_string(frames.size()) + " files, its list " +
               std::to_string(entries.size());
    return false;
  }
  std::vector<std::size_t> order(entries.size());
  std::iota(order.begin(), order.end(), 0);
  std::ranges::sort(order, std::greater<>(), [&](std::size_t i) { return entries[i].size; });
  std::atomic<std::size_t> next{0};
  std::mutex lock;
  std::string failure;
  auto work = [&] {
    for (std::size_t n = next++; n < order.size(); n = next++) {
      const Entry& e = entries[order[n]];
      std::string why = UnpackOne(dirFd, e, frames[order[n]]);
      if (!why.empty()) {
        const std::scoped_lock hold(lock);
        failure = e.path + " " + why;
        next = order.size();
      }
    }
  };
  {
    std::vector<std::jthread> helpers;
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      // No second thread: this one unpacks everything.
    }
    work();
  }
  *problem = failure;
  return failure.empty();
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;  // what is left is retried on the next start
  std::filesystem::remove_all(path, ignored);
}

// The checked cache directory of this build's files, unpacked when missing
// or damaged; its descriptors go to *files in manifest order.
std::string CacheOfThisBuild(const std::vector<Entry>& entries, std::vector<UniqueFd>* files,
                             std::string* problem) {
  std::string why;
  const std::string base = CacheDirectory(&why);
  if (base.empty()) {
    *problem = "no cache directory for the carried libraries: " + why;
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
    if (!freshFd.valid() || !Unpack(freshFd.get(), entries, &why)) {
      *problem = "unpacking the carried libraries: " + (freshFd.valid() ? why : ErrnoText());
      RemoveTree(fresh);
      return {};
    }
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

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

WindowLibraries PrepareWindowLibraries() {
  WindowLibraries result;
  const std::vector<Entry> entries = ParseManifest();
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
    std::string path = own + "/" + entries[i].path;
    std::string from = " (from " + std::string(kQtDirVariable) + ")";
    if (own.empty() || ::access(path.c_str(), R_OK) < 0) {
      path = "/proc/self/fd/" + std::to_string(files[i].get());
      from.clear();
    }
    // By descriptor or absolute path, leaves first: each library's needs are
    // then already loaded under their sonames, whatever LD_LIBRARY_PATH says.
    if (::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr) {
      const char* why = ::dlerror();  // NOLINT(concurrency-mt-unsafe): one thread
      result.problem = entries[i].path + from +
                       " does not load: " + Printable(why != nullptr ? why : "dlopen failed");
      return result;
    }
  }
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
