#include "platform/line_error_counter.h"

#include <utility>

#include "platform/comm_bits.h"
#include "platform/diagnostics.h"

namespace tevra {
namespace {

// The driver counts buffer overruns apart; for the reader both lost bytes.
constexpr std::array<std::uint32_t, 5> kBits = {CE_FRAME, CE_OVERRUN, CE_RXPARITY, CE_BREAK,
                                                CE_OVERRUN};

}  // namespace

void LineErrorCounter::Start(std::string label, const DriverCounts& baseline) {
  label_ = std::move(label);
  last_ = baseline;
  unreported_ = {};
  nextReport_ = {};
}

std::uint32_t LineErrorCounter::Update(const DriverCounts& now, Clock::time_point at) {
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < now.size(); ++i) {
    if (now[i] != last_[i]) {
      bits |= kBits[i];
      unreported_[i] += static_cast<long>(now[i]) - last_[i];
    }
  }
  last_ = now;
  if (bits != 0) {
    Report(false, at);
  }
  return bits;
}

void LineErrorCounter::NoteDropped(std::size_t bytes, Clock::time_point at) {
  unreported_[kKinds - 1] += static_cast<long>(bytes);
  Report(false, at);
}

void LineErrorCounter::Flush() {
  Report(true, Clock::now());
}

void LineErrorCounter::Report(bool flush, Clock::time_point at) {
  if (!flush && at < nextReport_) {
    return;
  }
  static constexpr std::array<const char*, kKinds> kNames = {
      "framing", "overrun",        "parity",
      "break",   "buffer overrun", "bytes dropped (input queue full)"};
  std::string text;
  for (std::size_t i = 0; i < kKinds; ++i) {
    if (unreported_[i] > 0) {
      text += (text.empty() ? "" : ", ") + std::to_string(unreported_[i]) + " " + kNames[i];
    }
  }
  if (!text.empty()) {
    Diagnose(label_ + ": line errors: " + text);
    nextReport_ = at + kReportGap;
  }
  unreported_ = {};
}

}  // namespace tevra
