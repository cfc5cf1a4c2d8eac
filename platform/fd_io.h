#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>

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

}  // namespace tevra
