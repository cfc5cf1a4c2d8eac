#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/unique_fd.h"

namespace tevra {

// Writes all count bytes to fd, retrying after EINTR and partial writes.
// False with errno set on an error; EIO when a write makes no progress, so a
// caller never spins on a descriptor that accepts nothing.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t count);

// Reads exactly count bytes, from the file position or, with `at`, from
// that offset (the position is then left alone). EINTR and short reads are
// retried; a file that ends first is an error (EIO), not a shorter read.
bool ReadExactly(int fd, std::uint8_t* data, std::size_t count,
                 std::optional<off_t> at = std::nullopt);

// Opens path with O_NONBLOCK added, so that a FIFO or a device at the path
// cannot block the open, and keeps the descriptor only when it names a
// regular file; O_NONBLOCK is then cleared again. Otherwise the result is
// invalid with errno set: the open's error, EISDIR for a directory, EINVAL
// for any other kind of file. st, when given, receives the file's status.
UniqueFd OpenRegularFile(const char* path, int flags, mode_t mode = 0, struct stat* st = nullptr);

}  // namespace tevra
