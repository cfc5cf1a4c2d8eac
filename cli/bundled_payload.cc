#include "cli/bundled_payload.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "payload/payload_layout.h"
#include "platform/diagnostics.h"

namespace tevra {
namespace {

std::string ErrnoText() {
  return std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): set-up runs on one thread
}

// A window on [offset, offset + length) of a file that stays open.
class FileRangeSource : public PayloadSource {
 public:
  FileRangeSource(UniqueFd fd, std::uint64_t offset, std::uint64_t length, std::string name)
      : fd_(std::move(fd)), offset_(offset), length_(length), name_(std::move(name)) {}

  long ReadAt(std::uint64_t at, std::uint8_t* dst, std::size_t count) override {
    if (at >= length_) {
      return 0;
    }
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(count, length_ - at));
    std::size_t got = 0;
    while (got < want) {
      const ssize_t n =
          ::pread(fd_.get(), dst + got, want - got, static_cast<off_t>(offset_ + at + got));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        return -1;
      }
      if (n == 0) {
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
  }

  const std::string& Name() const override { return name_; }

 private:
  UniqueFd fd_;
  std::uint64_t offset_;
  std::uint64_t length_;
  std::string name_;
};

}  // namespace

BundledPayload::BundledPayload(const std::string& path) : path_(path) {
  if (path.empty()) {
    error_ = "the updater's own file is unknown";
    return;
  }
  fd_ = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const PayloadLayout layout = fd_.valid() ? LocatePayload(fd_.get()) : PayloadLayout{};
  if (!fd_.valid() || layout.status == PayloadStatus::kReadError) {
    error_ = "cannot read " + Printable(path) + ": " + ErrnoText();
    return;
  }
  if (!layout.valid()) {
    const bool none = layout.status == PayloadStatus::kBadMagic;
    error_ = Printable(path) + " " + layout.problem +
             (none ? "; put a payload in with tevra-bundle pack" : "");
    return;
  }
  offset_ = layout.imageBytes;
  length_ = layout.payloadBytes;
}

std::unique_ptr<PayloadSource> BundledPayload::NewSource() const {
  UniqueFd own(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
  if (!own.valid()) {
    return nullptr;
  }
  return std::make_unique<FileRangeSource>(std::move(own), offset_, length_, path_);
}

}  // namespace tevra
