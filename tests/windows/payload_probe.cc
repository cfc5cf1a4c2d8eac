// What the updater does with its own file before a download, alone: finds
// the payload through the program's own path (a signed file's before its
// certificate table), splits the file into the user's folder, and reads
// both payloads through the download's reader. Run
// bundled, signed and under Wine by signing_test.sh, which checks what it
// prints against the files.
#include <array>
#include <cstdio>
#include <string>

#include "download/fd_payload_source.h"
#include "payload/extract_payload.h"
#include "payload/payload_paths.h"
#include "payload/sha256.h"

namespace {

// Through the reader a download uses, as it reads: offset by offset.
std::string Digest(tevra::FdPayloadSource& source) {
  tevra::Sha256 hash;
  std::array<std::uint8_t, 4096> piece{};
  std::uint64_t at = 0;
  for (long n = 0; (n = source.ReadAt(at, piece.data(), piece.size())) > 0;) {
    hash.Update(std::span(piece).first(static_cast<std::size_t>(n)));
    at += static_cast<std::uint64_t>(n);
  }
  return tevra::Sha256::Hex(hash.Finish());
}

}  // namespace

int main() {
  const std::string self = tevra::SelfExecutablePath();
  const tevra::File file = tevra::OpenFileToRead(self);
  const tevra::PayloadLayout layout = tevra::LocatePayload(file);
  if (!layout.valid()) {
    static_cast<void>(
        std::fprintf(stderr, "payload-probe: %s %s\n", self.c_str(), layout.problem.c_str()));
    return 3;
  }
  std::string problem;
  const std::string directory = tevra::PayloadDirectory(&problem);
  if (directory.empty()) {
    static_cast<void>(std::fprintf(stderr, "payload-probe: %s\n", problem.c_str()));
    return 1;
  }
  const std::string payloadPath = directory + "\\" + tevra::kPayloadFileName;
  tevra::ExtractedPayload extracted = tevra::ExtractPayloadForSending(
      self.c_str(), (directory + "\\" + tevra::kImageFileName).c_str(), payloadPath.c_str());
  if (!extracted.ok()) {
    static_cast<void>(std::fprintf(stderr, "payload-probe: %s\n", extracted.problem.c_str()));
    return 1;
  }
  tevra::FdPayloadSource inPlace(tevra::Duplicate(file), self, layout.imageBytes,
                                 layout.payloadBytes);
  tevra::FdPayloadSource extractedFile(std::move(extracted.payload), payloadPath);
  static_cast<void>(std::printf(
      "self: %s\ndirectory: %s\npayload_sha256: %s\nextracted_sha256: %s\n"
      "certificate_table_bytes: %llu\n",
      self.c_str(), directory.c_str(), Digest(inPlace).c_str(), Digest(extractedFile).c_str(),
      static_cast<unsigned long long>(layout.certificateBytes)));
  return 0;
}
