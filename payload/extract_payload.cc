#include "payload/extract_payload.h"

#include <cerrno>
#include <cstddef>
#include <system_error>
#include <vector>

#include "platform/diagnostics.h"

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
// writing; what is no regular file there is refused untouched.
File CreateFresh(const char* path, ExtractedPayload& failure) {
  File file = CreateFreshFile(path);
  if (!file.valid()) {
    failure = errno == ELOOP                       ? Failure(path, kNotFollowed)
              : errno == EISDIR || errno == EINVAL ? Failure(path, kNotReplaced)
                                                   : ErrnoFailure(path);
  }
  return file;
}

// Copies count bytes from the source's offset `from` to the output's
// position. The source ending early is an error, not a shorter copy.
bool CopyRange(const File& source, std::uint64_t from, std::uint64_t count, const File& output,
               std::vector<std::uint8_t>& piece, bool& readFailed) {
  while (count > 0) {
    const std::size_t n = count < piece.size() ? static_cast<std::size_t>(count) : piece.size();
    readFailed = !ReadExactlyAt(source, from, piece.data(), n);
    if (readFailed || !WriteFully(output, piece.data(), n)) {
      return false;
    }
    from += n;
    count -= n;
  }
  return true;
}

// After a failed copy: leave the outputs empty, as every other failure
// does. Best effort: the copy's errno is what the caller needs.
void EmptyOutputs(const File& image, const File& payload) {
  const int saved = errno;
  [[maybe_unused]] const bool imageTruncated = Truncate(image, 0);
  [[maybe_unused]] const bool payloadTruncated = Truncate(payload, 0);
  errno = saved;
}

}  // namespace

ExtractedPayload ExtractPayloadForSending(const char* sourcePath, const char* imagePath,
                                          const char* payloadPath) {
  ExtractedPayload failure;
  File image = CreateFresh(imagePath, failure);
  if (!image.valid()) {
    return failure;
  }
  File payload = CreateFresh(payloadPath, failure);
  if (!payload.valid()) {
    return failure;
  }
  const File source = OpenFileToRead(sourcePath);
  if (!source.valid()) {
    return errno == EINVAL ? Failure(sourcePath, "is not a regular file")
                           : ErrnoFailure(sourcePath);
  }
  const PayloadLayout layout = LocatePayload(source);
  if (layout.status == PayloadStatus::kReadError) {
    return ErrnoFailure(sourcePath);
  }
  if (!layout.valid()) {
    errno = EINVAL;
    return Failure(sourcePath, layout.problem);
  }

  std::vector<std::uint8_t> piece(kPieceSize);
  bool readFailed = false;
  if (!CopyRange(source, 0, layout.imageBytes, image, piece, readFailed)) {
    EmptyOutputs(image, payload);
    return ErrnoFailure(readFailed ? sourcePath : imagePath);
  }
  if (!CopyRange(source, layout.imageBytes, layout.payloadBytes, payload, piece, readFailed)) {
    EmptyOutputs(image, payload);
    return ErrnoFailure(readFailed ? sourcePath : payloadPath);
  }
  // A close can report a write error the writes did not.
  if (!image.Close()) {
    return ErrnoFailure(imagePath);
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
