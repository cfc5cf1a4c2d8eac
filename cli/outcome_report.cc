#include "cli/outcome_report.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/diagnostics.h"

namespace tevra {
namespace {

std::string ErrnoText(int error) {
  return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): the loop's thread only
}

// A JSON string: control characters as \u00XX, bytes that are not UTF-8
// (a USB descriptor's, a path's) as U+FFFD; null when empty.
std::string Json(std::string_view text) {
  if (text.empty()) {
    return "null";
  }
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      std::array<char, 8> escaped{};
      (void)std::snprintf(escaped.data(), escaped.size(), "\\u%04x", c);
      out += escaped.data();
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (const std::size_t length = Utf8SequenceLength(text, i); length != 0) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    } else {
      out += "\xEF\xBF\xBD";
    }
    ++i;
  }
  return out + "\"";
}

std::string Json(std::uint64_t n) {
  return std::to_string(n);
}

std::string Utc(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  std::array<char, 32> text{};
  if (::gmtime_r(&seconds, &parts) == nullptr ||
      std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return {};
  }
  return text.data();
}

const char* ResultWord(PortResult::Kind kind) {
  switch (kind) {
    case PortResult::Kind::kDone:
      return "done";
    case PortResult::Kind::kInterrupted:
      return "interrupted";
    case PortResult::Kind::kFailed:
      break;
  }
  return "failed";
}

}  // namespace

OutcomeReport::OutcomeReport(const std::string& path, std::string version)
    : path_(path), version_(std::move(version)) {
  valid_ = Open("cannot open the report " + Printable(path) + ": ").valid();
}

UniqueFd OutcomeReport::Open(const std::string& what) {
  // O_NONBLOCK: a FIFO without a reader or a device must not hold the run.
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
  UniqueFd fd(::open(path_.c_str(), kFlags, 0644));  // NOLINT(hicpp-signed-bitwise)
  struct stat st {};
  if (!fd.valid()) {
    // ENXIO: a FIFO nobody reads.
    error_ = what + (errno == ENXIO ? std::string("not a regular file") : ErrnoText(errno));
  } else if (::fstat(fd.get(), &st) != 0) {
    error_ = what + "cannot look at it: " + ErrnoText(errno);
  } else if (!S_ISREG(st.st_mode)) {
    error_ = what + "not a regular file";
  } else if (::fcntl(fd.get(), F_SETFL, O_APPEND) != 0) {
    error_ = what + "cannot set it up: " + ErrnoText(errno);
  } else {
    return fd;
  }
  return UniqueFd();
}

void OutcomeReport::SetFirmware(std::uint64_t bytes, std::string sha256Hex) {
  firmwareBytes_ = bytes;
  firmwareSha256_ = std::move(sha256Hex);
}

bool OutcomeReport::Append(const PortTarget& target, const PortResult& outcome, Settled settled) {
  const SerialDevice none;
  const SerialDevice& usb = target.adapter ? *target.adapter : none;
  std::array<char, 32> seconds{};
  (void)std::snprintf(seconds.data(), seconds.size(), "%.3f", outcome.seconds);
  Record record{target.name, {}, std::move(settled)};
  record.line = "{\"time\":" + Json(Utc(outcome.time)) + ",\"port\":" + Json(target.name) +
                ",\"device\":" + Json(target.device) + ",\"vendor_id\":" + Json(usb.vendorId) +
                ",\"product_id\":" + Json(usb.productId) +
                ",\"manufacturer\":" + Json(usb.manufacturer) +
                ",\"product\":" + Json(usb.product) + ",\"serial\":" + Json(usb.serial) +
                ",\"firmware_bytes\":" + (firmwareBytes_ ? Json(*firmwareBytes_) : "null") +
                ",\"firmware_sha256\":" + Json(firmwareSha256_) + ",\"result\":\"" +
                ResultWord(outcome.kind) + "\",\"cause\":" + Json(outcome.RecordCause()) +
                ",\"seconds\":" + seconds.data() + ",\"blocks\":" + Json(outcome.blocks) +
                ",\"updater_version\":" + Json(version_) + "}\n";
  // Behind the records that wait: the file keeps the order of the outcomes.
  if (waiting_.empty()) {
    const Attempt attempt = Try(record);
    if (attempt != Attempt::kLocked) {
      Settle(record, attempt);
      return true;
    }
    nextTry_ = Clock::now() + kRetryPeriod;
  }
  waiting_.push_back(std::move(record));
  return false;
}

void OutcomeReport::OnTick(Clock::time_point now) {
  if (waiting_.empty() || now < nextTry_) {
    return;
  }
  while (!waiting_.empty()) {
    const Attempt attempt = Try(waiting_.front());
    if (attempt == Attempt::kLocked) {
      nextTry_ = now + kRetryPeriod;
      return;
    }
    Record record = std::move(waiting_.front());
    waiting_.pop_front();
    Settle(record, attempt);
  }
}

std::optional<OutcomeReport::Clock::time_point> OutcomeReport::NextTry() const {
  return waiting_.empty() ? std::nullopt : std::optional(nextTry_);
}

void OutcomeReport::GiveUp(const std::string& why) {
  std::deque<Record> lost;
  lost.swap(waiting_);
  for (Record& record : lost) {
    failed_ = true;
    record.settled(What(record.port) + why);
  }
}

std::string OutcomeReport::What(const std::string& port) const {
  return "the record of " + Printable(port) + " in the report " + Printable(path_) + ": ";
}

void OutcomeReport::Settle(Record& record, Attempt attempt) {
  if (attempt == Attempt::kWritten) {
    record.settled({});
    return;
  }
  failed_ = true;
  record.settled(error_);
}

OutcomeReport::Attempt OutcomeReport::Try(const Record& record) {
  const std::string what = What(record.port);
  const UniqueFd fd = Open(what);
  if (!fd.valid()) {
    return Attempt::kFailed;
  }
  int locked = -1;
  do {
    locked = ::flock(fd.get(), LOCK_EX | LOCK_NB);  // released with fd
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    if (errno == EWOULDBLOCK) {
      return Attempt::kLocked;
    }
    error_ = what + "cannot lock it: " + ErrnoText(errno);
    return Attempt::kFailed;
  }
  // After a torn line, a line end first keeps this record whole.
  return Write(fd.get(), torn_ ? "\n" + record.line : record.line, what) ? Attempt::kWritten
                                                                         : Attempt::kFailed;
}

bool OutcomeReport::Write(int fd, const std::string& line, const std::string& what) {
  struct stat before {};
  if (::fstat(fd, &before) != 0) {
    error_ = what + "cannot look at it: " + ErrnoText(errno);
    return false;
  }
  ssize_t written = -1;
  do {
    // One write only: a second one could land after another writer's line.
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) {
    error_ = what + "cannot write it: " + ErrnoText(errno);
    return false;
  }
  if (static_cast<std::size_t>(written) != line.size()) {
    error_ = what + "only " + std::to_string(written) + " of " + std::to_string(line.size()) +
             " bytes were written";
    // Taken back, so the file holds whole lines only.
    if (::ftruncate(fd, before.st_size) != 0) {
      torn_ = true;
      error_ += ", and cannot be taken back: " + ErrnoText(errno);
    }
    return false;
  }
  torn_ = false;
  if (::fdatasync(fd) != 0) {
    error_ = what + "may not be on disk: " + ErrnoText(errno);
    return false;
  }
  return true;
}

}  // namespace tevra
