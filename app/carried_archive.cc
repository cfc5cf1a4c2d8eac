// The carried files' list and archive (see carried_archive.h): each file a
// zstd frame of its own, so that frames unpack side by side.
#include "app/carried_archive.h"

#include <fcntl.h>
#include <lzma.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <span>
#include <sstream>
#include <system_error>
#include <thread>

#include "app/carried_image.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

std::string ErrnoText() {
  return std::generic_category().message(errno);
}

struct ZstdFree {
  void operator()(ZSTD_DCtx* c) const { ZSTD_freeDCtx(c); }
};

// Writes the frame's content into the new file e.path under dirFd; why it
// could not, or empty. The content must have the listed size and CRC64.
std::string UnpackOne(int dirFd, const CarriedEntry& e, std::span<const unsigned char> frame) {
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

}  // namespace

std::vector<CarriedEntry> CarriedEntries() {
  const std::span<const unsigned char> text = CarriedImage::Manifest();
  std::istringstream in(std::string(text.begin(), text.end()));
  std::vector<CarriedEntry> entries;
  std::string kind;
  std::string crc;
  CarriedEntry e;
  while (in >> kind >> crc >> e.size >> e.path) {
    e.fallback = kind == "fallback";
    e.library = kind == "lib" || e.fallback;
    e.crc = std::strtoull(crc.c_str(), nullptr, 16);
    entries.push_back(e);
  }
  return entries;
}

std::string CarriedFileProblem(int fd, const CarriedEntry& e) {
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

bool UnpackCarried(int dirFd, const std::vector<CarriedEntry>& entries, std::string* problem) {
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
      const CarriedEntry& e = entries[order[n]];
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

}  // namespace tevra
