#include "cli/outcome_report.h"

#include <array>
#include <cstdio>
#include <utility>

#include "cli/report_file.h"
#include "platform/diagnostics.h"

namespace tevra {
namespace {

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
  using namespace std::chrono;
  const sys_seconds seconds = floor<std::chrono::seconds>(time);
  const sys_days day = floor<days>(seconds);
  const year_month_day date(day);
  const hh_mm_ss clock(seconds - day);
  std::array<char, 32> text{};
  (void)std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02dZ",
                      static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                      static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                      static_cast<int>(clock.minutes().count()),
                      static_cast<int>(clock.seconds().count()));
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
  valid_ = Open("cannot open the report " + Printable(path) + ": ") != nullptr;
}

std::unique_ptr<ReportFile> OutcomeReport::Open(const std::string& what) {
  auto file = std::make_unique<ReportFile>(path_);
  if (!file->valid()) {
    error_ = what + file->error();
    return nullptr;
  }
  return file;
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
  const std::unique_ptr<ReportFile> file = Open(what);
  if (file == nullptr) {
    return Attempt::kFailed;
  }
  switch (file->TryLock()) {
    case ReportFile::Lock::kTaken:
      break;
    case ReportFile::Lock::kHeld:
      return Attempt::kLocked;
    case ReportFile::Lock::kFailed:
      error_ = what + "cannot lock it: " + file->error();
      return Attempt::kFailed;
  }
  // After a torn line, a line end first keeps this record whole.
  return Write(*file, torn_ ? "\n" + record.line : record.line, what) ? Attempt::kWritten
                                                                      : Attempt::kFailed;
}

bool OutcomeReport::Write(ReportFile& file, const std::string& line, const std::string& what) {
  const std::optional<std::uint64_t> before = file.Size();
  if (!before) {
    error_ = what + "cannot look at it: " + file.error();
    return false;
  }
  // One write only: a second one could land after another writer's line.
  const std::optional<std::size_t> written = file.Append(line);
  if (!written) {
    error_ = what + "cannot write it: " + file.error();
    return false;
  }
  if (*written != line.size()) {
    error_ = what + "only " + std::to_string(*written) + " of " + std::to_string(line.size()) +
             " bytes were written";
    // Taken back, so the file holds whole lines only.
    if (!file.Truncate(*before)) {
      torn_ = true;
      error_ += ", and cannot be taken back: " + file.error();
    }
    return false;
  }
  torn_ = false;
  if (!file.Sync()) {
    error_ = what + "may not be on disk: " + file.error();
    return false;
  }
  return true;
}

}  // namespace tevra
