#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "sim/device_line.h"

namespace tevra::sim {

// What a device puts on its line, and when: a queue of segments written in
// order to a non-blocking line.
//
// Unpaced, a segment goes out in one write at once (or as fast as the line
// takes it). Paced, each byte is written when its 11 bits (start, 8 data,
// parity, stop) would have crossed the line at the given rate, at absolute
// times that never drift; a segment starts once the previous one has crossed.
//
// A kApart segment is kept kApartGap of silence away from its neighbours on
// both sides (the following segment waits for that), so a reader framing
// records by 100 ms of silence always gets it as a record of its own.
//
// A stream (Stream) refills the queue with its stretch whenever it runs dry,
// back to back: paced, on the line's schedule, so no gap exceeds a character
// time; unpaced, as fast as the line takes it.
//
// A kHangUp segment waits until everything before it has been read from the
// line (the peer's input queue stays empty for 50 ms; at most 2 s), since a
// hang-up discards what the other side has not read yet; Pump then says
// kHangUp and the queue is emptied.
//
// Thread rules: not thread-safe. One thread (the device's) pushes and pumps;
// the sent callback runs on that thread, inside Pump. The line must outlive
// this object; others may read from it and close it, but only Pump writes it.
class PacedOutput {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Kind { kPlain, kApart, kStream, kHangUp };
  // A segment of kind kPlain, kApart or kStream has wholly been written. May
  // Push, not Pump.
  using SentFn = std::function<void(Kind kind, std::size_t bytes)>;

  // Clear of a reader's 100 ms framing on both sides even on a loaded machine.
  static constexpr std::chrono::milliseconds kApartGap{200};

  struct Next {
    enum class Step { kContinue, kHangUp, kFailed };
    Step step = Step::kContinue;
    std::optional<Clock::time_point> wakeAt;  // Pump again then; empty: nothing to wait for
    bool wantWrite = false;                   // Pump again once the line takes bytes
    int error = 0;                            // kFailed: errno of the write
  };

  // pacedBaud empty: unpaced; set: above 0.
  PacedOutput(DeviceLine& line, std::optional<std::uint32_t> pacedBaud, SentFn sent);

  // How long one character (11 bits) takes on the line at baud (above 0).
  static Clock::duration CharacterTime(std::uint32_t baud);

  // Queues bytes after everything queued so far: kPlain or kApart, or kHangUp
  // with none (kStream segments come from Stream); at least `pause` of
  // silence before them.
  void Push(Kind kind, std::vector<std::uint8_t> bytes = {}, Clock::duration pause = {});
  // From now on the queue never runs dry: stretch is queued again each time.
  void Stream(std::vector<std::uint8_t> stretch);
  // Puts due bytes on the line; says when it next has something to do.
  Next Pump();

 private:
  struct Segment {
    Kind kind = Kind::kPlain;
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    Clock::duration gapBefore{};             // silence required after the line's last byte
    std::optional<Clock::time_point> start;  // fixed once the segment is at the head
  };

  Clock::time_point DueTime(const Segment& seg, std::size_t index) const;
  std::size_t BytesDue(const Segment& seg, Clock::time_point now) const;
  Next HangUpStep(Clock::time_point now);

  DeviceLine& line_;
  std::optional<std::uint32_t> pacedBaud_;
  SentFn sent_;
  std::deque<Segment> out_;
  std::optional<std::vector<std::uint8_t>> stretch_;
  bool lastWasApart_ = false;
  bool wroteAny_ = false;
  Clock::time_point lineFreeAt_;  // when the last byte put on the line has crossed it
  std::optional<Clock::time_point> hangUpBegan_;
  std::optional<Clock::time_point> hangUpEmptySince_;
};

}  // namespace tevra::sim
