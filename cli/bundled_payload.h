#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "download/payload_source.h"
#include "platform/file.h"

namespace tevra {

// The payload inside a bundled updater, read in place: the file is opened
// once and never copied, so downloads running at the same time (several
// ports, or several updaters) cannot disturb each other's payload.
class BundledPayload {
 public:
  // Opens path and locates its payload (LocatePayload: a damaged or empty
  // one is refused). On failure, valid() is false and error() says why in
  // one line.
  explicit BundledPayload(const std::string& path);

  bool valid() const { return error_.empty(); }
  // The file is a sound program with no payload at all (not a damaged one).
  bool carriesNone() const { return none_; }
  const std::string& error() const { return error_; }
  std::uint64_t length() const { return length_; }
  // A reader of its own for one download; null (errno set) on failure.
  std::unique_ptr<PayloadSource> NewSource() const;
  // The payload's SHA-256 in hex, read in place; empty (errno set) when it
  // cannot be read.
  std::string Sha256Hex() const;

 private:
  std::string path_;
  File file_;
  std::uint64_t offset_ = 0;
  std::uint64_t length_ = 0;
  std::string error_;
  bool none_ = false;
};

}  // namespace tevra
