// What the updater does with its own file before a download, alone: finds
// the payload through the program's own path (a signed file's before its
// certificate table) and splits the file into the user's folder. Run
// bundled, signed and under Wine by signing_test.sh, which checks what it
// prints against the files.
#include <cstdio>
#include <string>

#include "payload/extract_payload.h"
#include "payload/payload_paths.h"
#include "payload/sha256.h"

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
  const tevra::ExtractedPayload extracted = tevra::ExtractPayloadForSending(
      self.c_str(), (directory + "\\" + tevra::kImageFileName).c_str(), payloadPath.c_str());
  if (!extracted.ok()) {
    static_cast<void>(std::fprintf(stderr, "payload-probe: %s\n", extracted.problem.c_str()));
    return 1;
  }
  static_cast<void>(
      std::printf("self: %s\ndirectory: %s\npayload_sha256: %s\nextracted_sha256: %s\n"
                  "certificate_table_bytes: %llu\n",
                  self.c_str(), directory.c_str(),
                  tevra::Sha256::HexOfRange(file, layout.imageBytes, layout.payloadBytes).c_str(),
                  tevra::Sha256::HexOfRange(extracted.payload, 0, layout.payloadBytes).c_str(),
                  static_cast<unsigned long long>(layout.certificateBytes)));
  return 0;
}
