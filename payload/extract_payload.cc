#include "payload/extract_payload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>

#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

constexpr std::size_t kPieceSize = 16;
using Piece = std::array<std::uint8_t, kPieceSize>;

// O_NONBLOCK only for the open itself: a FIFO planted at an output path
// would otherwise block the open until some reader appears.
UniqueFd OpenOutput(const char* path) {
  UniqueFd fd(::open(path, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                     S_IRUSR | S_IWUSR));
  if (!fd.valid()) {
    return fd;
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
    return UniqueFd();
  }
  return fd;
}

// Reads exactly count bytes into the piece, then writes them out. The
// source ending early is an error, not a shorter piece.
bool CopyPiece(int source, int output, Piece& piece, std::size_t count) {
  return ReadExactly(source, piece.data(), count) && WriteAll(output, piece.data(), count);
}

// Copies count bytes from the source's offset `from`: whole pieces, then
// the remainder in one piece.
bool CopyRange(int source, std::uint64_t from, std::uint64_t count, int output, Piece& piece) {
  if (::lseek(source, static_cast<off_t>(from), SEEK_SET) < 0) {
    return false;
  }
  for (std::uint64_t i = 0; i < count / kPieceSize; ++i) {
    if (!CopyPiece(source, output, piece, kPieceSize)) {
      return false;
    }
  }
  const auto rest = static_cast<std::size_t>(count % kPieceSize);
  return rest == 0 || CopyPiece(source, output, piece, rest);
}

// After a failed copy: leave the outputs empty, as every other failure
// does. Best effort (a device such as /dev/full cannot be truncated); the
// copy's errno is what the caller needs.
void EmptyOutputs(const UniqueFd& image, const UniqueFd& payload) {
  const int saved = errno;
  [[maybe_unused]] const int imageTruncated = ::ftruncate(image.get(), 0);
  [[maybe_unused]] const int payloadTruncated = ::ftruncate(payload.get(), 0);
  errno = saved;
}

}  // namespace

bool ExtractPayload(const char* sourcePath, const char* imagePath, const char* payloadPath) {
  UniqueFd image = OpenOutput(imagePath);
  if (!image.valid()) {
    return false;
  }
  UniqueFd payload = OpenOutput(payloadPath);
  if (!payload.valid()) {
    return false;
  }
  UniqueFd source(::open(sourcePath, O_RDONLY | O_CLOEXEC));
  if (!source.valid()) {
    return false;
  }

  struct stat st {};
  if (::fstat(source.get(), &st) < 0) {
    return false;
  }
  // Only a regular file has a length to split by.
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const PayloadLayout layout = ReadPayloadLayout(source.get(), size);
  if (layout.status == TrailerStatus::kReadError) {
    return false;
  }
  if (!layout.valid()) {
    errno = EINVAL;
    return false;
  }

  Piece piece{};
  if (!CopyRange(source.get(), 0, layout.imageBytes, image.get(), piece) ||
      !CopyRange(source.get(), layout.imageBytes, layout.payloadBytes, payload.get(), piece)) {
    EmptyOutputs(image, payload);
    return false;
  }

  // A close can report a write error the writes did not.
  const bool sourceClosed = source.Close();
  const bool imageClosed = image.Close();
  const bool payloadClosed = payload.Close();
  return sourceClosed && imageClosed && payloadClosed;
}

}  // namespace tevra
