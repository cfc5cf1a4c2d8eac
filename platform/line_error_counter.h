#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tevra {

// Turns the driver's cumulative line-error counters (TIOCGICOUNT, read by
// the caller) into the CE_ bits of what grew, and tells a person: the growth
// and the bytes a full input queue dropped go out as one Diagnose line
// ("<label>: line errors: 3 framing, 1 parity"), at most one per kReportGap
// so a noisy line cannot flood the journal; Flush says the rest at once.
//
// Threads: not thread-safe; one thread at a time (the device's waiting
// thread, then the one closing it).
class LineErrorCounter {
 public:
  using Clock = std::chrono::steady_clock;
  // serial_icounter_struct's frame, overrun, parity, brk and buf_overrun.
  using DriverCounts = std::array<int, 5>;
  static constexpr std::chrono::seconds kReportGap{1};

  // A fresh line: `baseline` is what the driver counted before it (zeros
  // when it counts nothing); reports name the port `label` as given.
  void Start(std::string label, const DriverCounts& baseline);
  // The CE_ bits of the counters that differ from the last look; their
  // growth is reported now or after the gap.
  std::uint32_t Update(const DriverCounts& now, Clock::time_point at);
  // Bytes dropped from a full input queue, reported like the line errors.
  void NoteDropped(std::size_t bytes, Clock::time_point at);
  // Reports what is left unreported now, gap or not.
  void Flush();

 private:
  static constexpr std::size_t kKinds = 6;  // the driver's five, then dropped bytes
  void Report(bool flush, Clock::time_point at);

  std::string label_;
  DriverCounts last_{};
  std::array<long, kKinds> unreported_{};
  Clock::time_point nextReport_{};
};

}  // namespace tevra
