#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "download/payload_source.h"
#include "platform/file.h"

namespace tevra {

// A payload read from an open file, which it owns: the whole file (an
// extracted payload file), or `length` bytes from `start` (the payload
// inside a bundled updater, read in place). The one reader both front ends
// use.
class FdPayloadSource : public PayloadSource {
 public:
  FdPayloadSource(File file, std::string name) : file_(std::move(file)), name_(std::move(name)) {}
  FdPayloadSource(File file, std::string name, std::uint64_t start, std::uint64_t length)
      : file_(std::move(file)),
        name_(std::move(name)),
        start_(start),
        length_(static_cast<std::int64_t>(length)) {}

  // Opens the regular file at path to read. Null with errno set when it
  // cannot be opened.
  static std::unique_ptr<FdPayloadSource> Open(const std::string& path);

  // The payload's length: the range's, or the file's current one; -1 with
  // errno set on failure.
  std::int64_t Size() const;

  long ReadAt(std::uint64_t offset, std::uint8_t* dst, std::size_t count) override;
  const std::string& Name() const override { return name_; }

 private:
  File file_;
  std::string name_;
  std::uint64_t start_ = 0;
  std::int64_t length_ = -1;  // -1: to the end of the file
};

}  // namespace tevra
