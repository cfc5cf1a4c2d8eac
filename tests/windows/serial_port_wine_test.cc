// The serial port and its four workers on Win32's comm API, against the
// dongle simulator on a pseudo-terminal that the Wine prefix maps as COM3
// (scripts/test.sh windows sets TEVRA_WINE_COM3 when it made the link).
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "platform/wait.h"
#include "serial/buffer_channel.h"
#include "serial/serial_port.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;

// Signals an event on every notification the workers post.
class Posted : public NotifyTarget {
 public:
  bool Post(std::uint32_t /*msg*/, std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) override {
    return event.Set();
  }
  Event event;
};

bool SimulatorLinked() {
  return std::getenv("TEVRA_WINE_COM3") != nullptr;
}

TEST(SerialPortUnderWine, EraseIsAnsweredThroughComThree) {
  if (!SimulatorLinked()) {
    GTEST_SKIP() << "no simulator linked as COM3";
  }
  BufferChannel rx;
  BufferChannel tx;
  SerialPort port(rx, tx);
  Posted posted;
  ASSERT_TRUE(port.Open(&posted, WM_SERIAL_NOTIFY, "COM3", 9600, 8, Parity::kEven, 1));

  const std::array<std::uint8_t, 5> erase{0xE0, 0x22, 0x00, 0x00, 0x02};
  ASSERT_TRUE(port.Send(erase.data(), erase.size()));
  std::array<std::uint8_t, 1024> answer{};
  std::uint32_t size = 0;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (;;) {
    size = answer.size();
    if (port.Receive(answer.data(), size)) {
      break;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    ASSERT_GT(left.count(), 0) << "no answer within 20 s";
    ASSERT_EQ(WaitAny({&posted.event}, left).status, WaitStatus::kSignalled);
    ASSERT_TRUE(posted.event.Reset());
  }
  // The answer is the record's bytes and its terminating zero.
  ASSERT_GE(size, 2U);
  EXPECT_EQ(answer[0], 0x50);
  EXPECT_EQ(answer[1], 0x02);
  EXPECT_TRUE(port.Close());
}

TEST(SerialPortUnderWine, PortsThatLeadNowhereDoNotOpen) {
  BufferChannel rx;
  BufferChannel tx;
  SerialPort port(rx, tx);
  // No link in the prefix for COM17 (a number that needs \\.\ on Windows).
  EXPECT_FALSE(port.Open(nullptr, WM_SERIAL_NOTIFY, "COM17", 9600, 8, Parity::kEven, 1));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.Open(nullptr, WM_SERIAL_NOTIFY, "COM0", 9600, 8, Parity::kEven, 1));
  EXPECT_FALSE(port.Open(nullptr, WM_SERIAL_NOTIFY, "LPT1", 9600, 8, Parity::kEven, 1));
}

}  // namespace
}  // namespace tevra
