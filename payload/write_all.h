#pragma once

#include <cstddef>
#include <cstdint>

namespace tevra {

// Writes all count bytes to fd, retrying after EINTR and partial writes.
// False with errno set on an error; EIO when a write makes no progress, so a
// caller never spins on a descriptor that accepts nothing.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t count);

}  // namespace tevra
