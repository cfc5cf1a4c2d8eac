#include "cli/bundled_payload.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "download/fd_payload_source.h"
#include "payload/payload_layout.h"
#include "payload/sha256.h"
#include "platform/diagnostics.h"

namespace tevra {
namespace {

std::string ErrnoText() {
  return std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): set-up runs on one thread
}

}  // namespace

BundledPayload::BundledPayload(const std::string& path) : path_(path) {
  if (path.empty()) {
    error_ = "the updater's own file is unknown";
    return;
  }
  file_ = OpenFileToRead(path);
  const PayloadLayout layout = file_.valid() ? LocatePayload(file_) : PayloadLayout{};
  if (!file_.valid() || layout.status == PayloadStatus::kReadError) {
    error_ = "cannot read " + Printable(path) + ": " + ErrnoText();
    return;
  }
  if (!layout.valid()) {
    none_ = layout.status == PayloadStatus::kBadMagic;
    error_ = Printable(path) + " " + layout.problem +
             (none_ ? "; put a payload in with tevra-bundle pack" : "");
    return;
  }
  offset_ = layout.imageBytes;
  length_ = layout.payloadBytes;
}

std::unique_ptr<PayloadSource> BundledPayload::NewSource() const {
  File own = Duplicate(file_);
  if (!own.valid()) {
    return nullptr;
  }
  return std::make_unique<FdPayloadSource>(std::move(own), path_, offset_, length_);
}

std::string BundledPayload::Sha256Hex() const {
  return Sha256::HexOfRange(file_, offset_, length_);
}

}  // namespace tevra
