#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "download/payload_source.h"
#include "platform/unique_fd.h"

namespace tevra {

// A payload read from an open file descriptor, which it owns.
class FdPayloadSource : public PayloadSource {
 public:
  FdPayloadSource(UniqueFd fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {}

  // Opens path read-only. Null with errno set when it cannot be opened.
  static std::unique_ptr<FdPayloadSource> Open(const std::string& path);

  // The file's current length; -1 with errno set on failure.
  std::int64_t Size() const;

  long ReadAt(std::uint64_t offset, std::uint8_t* dst, std::size_t count) override;
  const std::string& Name() const override { return name_; }

 private:
  UniqueFd fd_;
  std::string name_;
};

}  // namespace tevra
