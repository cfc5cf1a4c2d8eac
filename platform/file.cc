#include "platform/file.h"

#include <cerrno>

namespace tevra {

void File::Reset() {
  const int saved = errno;
  Close();
  errno = saved;
}

bool ReadExactlyAt(const File& file, std::uint64_t offset, std::uint8_t* data, std::size_t count) {
  const std::int64_t got = ReadAt(file, offset, data, count);
  if (got < 0) {
    return false;
  }
  if (static_cast<std::uint64_t>(got) < count) {
    errno = EIO;
    return false;
  }
  return true;
}

}  // namespace tevra
