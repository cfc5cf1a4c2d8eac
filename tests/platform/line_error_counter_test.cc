#include "platform/line_error_counter.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/comm_bits.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;

// Counts from before the open are no news; growth within the gap waits for
// the next line, and what is left goes out on Flush.
TEST(LineErrorCounterTest, GrowthRaisesItsBitsAndIsToldAtMostOncePerGap) {
  const struct {
    LineErrorCounter::DriverCounts now;
    std::uint32_t bits;
    std::chrono::milliseconds at;
    std::string line;
  } steps[] = {
      {{5, 0, 0, 0, 7}, 0, 0ms, ""},
      {{8, 0, 1, 0, 7}, CE_FRAME | CE_RXPARITY, 0ms, "3 framing, 1 parity"},
      {{8, 2, 1, 0, 9}, CE_OVERRUN, 999ms, ""},
      {{8, 2, 1, 1, 9}, CE_BREAK, 1000ms, "2 overrun, 1 break, 2 buffer overrun"},
      {{8, 2, 1, 1, 9}, 0, 5000ms, ""},
  };
  const auto start = LineErrorCounter::Clock::now();
  LineErrorCounter counter;
  counter.Start("COM3 (ttyUSB0)", {5, 0, 0, 0, 7});
  for (const auto& step : steps) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(counter.Update(step.now, start + step.at), step.bits) << step.at.count();
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        step.line.empty() ? "" : "tevra-updater: COM3 (ttyUSB0): line errors: " + step.line + "\n");
  }
  testing::internal::CaptureStderr();
  counter.NoteDropped(70, start + 5000ms);
  counter.NoteDropped(30, start + 5500ms);
  counter.Flush();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tevra-updater: COM3 (ttyUSB0): line errors: 70 bytes dropped (input queue full)\n"
            "tevra-updater: COM3 (ttyUSB0): line errors: 30 bytes dropped (input queue full)\n");
}

}  // namespace
}  // namespace tevra
