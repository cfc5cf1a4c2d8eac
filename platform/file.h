#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace tevra {

// Owns one open file and closes it once: a descriptor on Linux, a HANDLE on
// Windows, kept as the integer the system hands out (-1 is none on both:
// it is also INVALID_HANDLE_VALUE). Paths are UTF-8 everywhere; the Windows
// backend turns them into UTF-16 at the system call, long ones too. Failures
// set errno, as the callers on both systems name their causes by it.
class File {
 public:
  File() = default;
  explicit File(std::intptr_t native) : native_(native) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept : native_(std::exchange(other.native_, -1)) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Reset();
      native_ = std::exchange(other.native_, -1);
    }
    return *this;
  }
  ~File() { Reset(); }

  bool valid() const { return native_ != -1; }
  std::intptr_t native() const { return native_; }

  // Closes the file when open; false (errno set) when the close failed,
  // which for an output can be a write error that surfaced only there. The
  // file counts as closed either way.
  bool Close();

 private:
  // For failure paths: keeps the errno of the failure being reported.
  void Reset();

  std::intptr_t native_ = -1;
};

// Opens an existing regular file to read. Never blocks on a FIFO or device
// at the path: those give EINVAL, a directory EISDIR, otherwise the open's
// error. On Windows others may read it meanwhile, or rename or delete its
// name, but not write to it.
File OpenFileToRead(const std::string& path);

// A regular file created by this call at path, open to read and write,
// readable and writable by its owner only (on Windows: by whom its folder's
// permissions allow). A regular file already at path is removed first, so
// another name for the same data (a hard link) is never written through.
// Anything else there is left alone and refused: a symbolic link or other
// reparse point (ELOOP, whether or not its target exists), a directory
// (EISDIR), any other kind of file (EINVAL). Whatever appears at the path
// between the removal and the creation is not taken either (EEXIST).
File CreateFreshFile(const std::string& path);

// The file's size in bytes; nothing (errno set) on failure.
std::optional<std::uint64_t> FileSize(const File& file);

// Reads up to count bytes from offset, whatever the file position; fewer
// only where the file ends. The number read, or -1 with errno set.
std::int64_t ReadAt(const File& file, std::uint64_t offset, std::uint8_t* data, std::size_t count);

// Reads exactly count bytes from offset; a file that ends first is an error
// (EIO), not a shorter read.
bool ReadExactlyAt(const File& file, std::uint64_t offset, std::uint8_t* data, std::size_t count);

// Writes all count bytes at the file position, retrying partial writes;
// false with errno set on an error (EIO when a write makes no progress).
bool WriteFully(const File& file, const std::uint8_t* data, std::size_t count);

// Cuts the file to size bytes (or extends it with zeros).
bool Truncate(const File& file, std::uint64_t size);

// A second, independently owned File for the same open file.
File Duplicate(const File& file);

}  // namespace tevra
