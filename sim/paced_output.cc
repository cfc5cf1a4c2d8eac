#include "sim/paced_output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace tevra::sim {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr long long kBitsPerByte = 11;  // start, 8 data, parity, stop
constexpr long long kNanosPerSecond = 1'000'000'000;
constexpr milliseconds kHangUpSettle{50};
constexpr milliseconds kHangUpPoll{5};
constexpr milliseconds kHangUpCap{2000};
// A late paced stream catches up without a gap, but a peer that stopped
// reading does not earn a burst of more than this on its return.
constexpr milliseconds kStreamCatchUp{50};

}  // namespace

PacedOutput::PacedOutput(DeviceLine& line, std::optional<std::uint32_t> pacedBaud, SentFn sent)
    : line_(line), pacedBaud_(pacedBaud), sent_(std::move(sent)) {}

PacedOutput::Clock::duration PacedOutput::CharacterTime(std::uint32_t baud) {
  return nanoseconds(kBitsPerByte * kNanosPerSecond / baud);
}

void PacedOutput::Push(Kind kind, std::vector<std::uint8_t> bytes, Clock::duration pause) {
  Segment seg;
  seg.kind = kind;
  seg.bytes = std::move(bytes);
  const bool apart = kind == Kind::kApart;
  seg.gapBefore = apart || lastWasApart_ ? std::max<Clock::duration>(kApartGap, pause) : pause;
  lastWasApart_ = apart;
  out_.push_back(std::move(seg));
}

void PacedOutput::Stream(std::vector<std::uint8_t> stretch) {
  stretch_ = std::move(stretch);
}

// The time byte `index` (0-based) of a paced segment has fully crossed the line.
PacedOutput::Clock::time_point PacedOutput::DueTime(const Segment& seg, std::size_t index) const {
  const auto bits = static_cast<long long>(index + 1) * kBitsPerByte;
  return *seg.start + nanoseconds(bits * kNanosPerSecond / *pacedBaud_);
}

std::size_t PacedOutput::BytesDue(const Segment& seg, Clock::time_point now) const {
  if (!pacedBaud_ || seg.bytes.empty()) {
    return seg.bytes.size();
  }
  if (now < *seg.start) {
    return 0;
  }
  if (now >= DueTime(seg, seg.bytes.size() - 1)) {
    return seg.bytes.size();
  }
  // Below the segment's length, so the product cannot overflow; the loop
  // corrects the rounding so the count agrees with DueTime exactly.
  const long long elapsed = std::chrono::duration_cast<nanoseconds>(now - *seg.start).count();
  auto crossed = static_cast<std::size_t>(elapsed * *pacedBaud_ / (kBitsPerByte * kNanosPerSecond));
  while (crossed < seg.bytes.size() && DueTime(seg, crossed) <= now) {
    ++crossed;
  }
  return crossed;
}

PacedOutput::Next PacedOutput::Pump() {
  Next r;
  if (stretch_ && out_.empty()) {
    Push(Kind::kStream, *stretch_);
  }
  while (!out_.empty()) {
    Segment& seg = out_.front();
    const Clock::time_point now = Clock::now();
    if (seg.kind == Kind::kHangUp) {
      return HangUpStep(now);
    }
    if (!seg.start && seg.kind == Kind::kStream) {
      // Continues the line's schedule, so a late thread leaves no gap.
      seg.start = wroteAny_ ? std::max<Clock::time_point>(lineFreeAt_, now - kStreamCatchUp) : now;
    } else if (!seg.start) {
      seg.start = wroteAny_ ? std::max(now, lineFreeAt_ + seg.gapBefore) : now;
    }
    if (now < *seg.start) {
      r.wakeAt = *seg.start;
      return r;
    }
    const std::size_t due = BytesDue(seg, now);
    if (seg.sent < due) {
      const ssize_t n = write(line_.fd(), seg.bytes.data() + seg.sent, due - seg.sent);
      if (n > 0) {
        seg.sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n == 0 || errno == EAGAIN) {
        // The other side is not reading; wait for room, keep reading.
        r.wantWrite = true;
        return r;
      }
      r.error = errno;
      r.step = Next::Step::kFailed;
      return r;
    }
    if (seg.sent < seg.bytes.size()) {
      r.wakeAt = DueTime(seg, seg.sent);
      return r;
    }
    wroteAny_ = true;
    lineFreeAt_ = pacedBaud_ && !seg.bytes.empty() ? DueTime(seg, seg.bytes.size() - 1) : now;
    if (sent_) {
      sent_(seg.kind, seg.bytes.size());
    }
    out_.pop_front();
  }
  if (stretch_) {
    r.wakeAt = Clock::now();  // the next stretch follows at once
  }
  return r;
}

PacedOutput::Next PacedOutput::HangUpStep(Clock::time_point now) {
  Next r;
  if (!hangUpBegan_) {
    hangUpBegan_ = now;
  }
  if (line_.UnreadByPeer() != 0) {
    hangUpEmptySince_.reset();
  } else if (!hangUpEmptySince_) {
    hangUpEmptySince_ = now;
  }
  const bool drained = hangUpEmptySince_ && now - *hangUpEmptySince_ >= kHangUpSettle;
  if (!drained && now - *hangUpBegan_ < kHangUpCap) {
    r.wakeAt = now + kHangUpPoll;
    return r;
  }
  out_.clear();
  r.step = Next::Step::kHangUp;
  return r;
}

}  // namespace tevra::sim
