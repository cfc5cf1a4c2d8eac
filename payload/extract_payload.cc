#include "payload/extract_payload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <system_error>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/fd_io.h"

namespace tevra {
namespace {

// Large pieces: a 20 MB updater splits in milliseconds, so the window that
// waits for it never stops repainting.
constexpr std::size_t kPieceSize = std::size_t{1} << 20;

constexpr char kNotFollowed[] = "is a symbolic link; not following it";
constexpr char kNotReplaced[] = "is not a regular file; not replacing it";

// Fails with a one-line problem, keeping errno for the caller.
ExtractedPayload Failure(const char* path, const std::string& cause) {
  const int saved = errno;
  ExtractedPayload result;
  result.problem = Printable(path) + ": " + cause;
  errno = saved;
  return result;
}

ExtractedPayload ErrnoFailure(const char* path) {
  return Failure(path, std::generic_category().message(errno));
}

// A fresh regular file at path, created by this call, open for reading and
// writing. A regular file already there is unlinked, never written
// through; anything else there is refused untouched.
UniqueFd CreateFresh(const char* path, ExtractedPayload& failure) {
  struct stat st {};
  if (::lstat(path, &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      const bool link = S_ISLNK(st.st_mode);
      errno = link ? ELOOP : (S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
      failure = Failure(path, link ? kNotFollowed : kNotReplaced);
      return UniqueFd();
    }
    if (::unlink(path) < 0 && errno != ENOENT) {
      failure = ErrnoFailure(path);
      return UniqueFd();
    }
  } else if (errno != ENOENT) {
    failure = ErrnoFailure(path);
    return UniqueFd();
  }
  // O_EXCL: whatever appeared at the path since the unlink is not ours.
  UniqueFd fd =
      OpenRegularFile(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (!fd.valid()) {
    failure = ErrnoFailure(path);
  }
  return fd;
}

// Copies count bytes from the source's offset `from` to the output's
// position. The source ending early is an error, not a shorter copy.
bool CopyRange(int source, std::uint64_t from, std::uint64_t count, int output,
               std::vector<std::uint8_t>& piece, bool& readFailed) {
  while (count > 0) {
    const std::size_t n = count < piece.size() ? static_cast<std::size_t>(count) : piece.size();
    readFailed = !ReadExactly(source, piece.data(), n, static_cast<off_t>(from));
    if (readFailed || !WriteAll(output, piece.data(), n)) {
      return false;
    }
    from += n;
    count -= n;
  }
  return true;
}

// After a failed copy: leave the outputs empty, as every other failure
// does. Best effort: the copy's errno is what the caller needs.
void EmptyOutputs(const UniqueFd& image, const UniqueFd& payload) {
  const int saved = errno;
  [[maybe_unused]] const int imageTruncated = ::ftruncate(image.get(), 0);
  [[maybe_unused]] const int payloadTruncated = ::ftruncate(payload.get(), 0);
  errno = saved;
}

}  // namespace

ExtractedPayload ExtractPayloadForSending(const char* sourcePath, const char* imagePath,
                                          const char* payloadPath) {
  ExtractedPayload failure;
  UniqueFd image = CreateFresh(imagePath, failure);
  if (!image.valid()) {
    return failure;
  }
  UniqueFd payload = CreateFresh(payloadPath, failure);
  if (!payload.valid()) {
    return failure;
  }
  const UniqueFd source = OpenRegularFile(sourcePath, O_RDONLY | O_CLOEXEC);
  if (!source.valid()) {
    return errno == EINVAL ? Failure(sourcePath, "is not a regular file")
                           : ErrnoFailure(sourcePath);
  }
  const PayloadLayout layout = LocatePayload(source.get());
  if (layout.status == PayloadStatus::kReadError) {
    return ErrnoFailure(sourcePath);
  }
  if (!layout.valid()) {
    errno = EINVAL;
    return Failure(sourcePath, layout.problem);
  }

  std::vector<std::uint8_t> piece(kPieceSize);
  bool readFailed = false;
  if (!CopyRange(source.get(), 0, layout.imageBytes, image.get(), piece, readFailed)) {
    EmptyOutputs(image, payload);
    return ErrnoFailure(readFailed ? sourcePath : imagePath);
  }
  if (!CopyRange(source.get(), layout.imageBytes, layout.payloadBytes, payload.get(), piece,
                 readFailed)) {
    EmptyOutputs(image, payload);
    return ErrnoFailure(readFailed ? sourcePath : payloadPath);
  }
  // A close can report a write error the writes did not.
  if (!image.Close()) {
    return ErrnoFailure(imagePath);
  }
  if (::lseek(payload.get(), 0, SEEK_SET) < 0) {
    return ErrnoFailure(payloadPath);
  }
  ExtractedPayload result;
  result.payload = std::move(payload);
  return result;
}

bool ExtractPayload(const char* sourcePath, const char* imagePath, const char* payloadPath) {
  ExtractedPayload result = ExtractPayloadForSending(sourcePath, imagePath, payloadPath);
  return result.ok() && result.payload.Close();
}

}  // namespace tevra
