// The kernel's own flag definitions; <termios.h> must not come in too.
#include "platform/line_settings.h"

#include <asm/termbits.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "platform/comm_device.h"

namespace tevra {
namespace {

LineSettings Cooked() {
  LineSettings s;
  s.iflag = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
            IXON | IXANY | IXOFF | IMAXBEL;
  s.oflag = OPOST | ONLCR | OCRNL | ONOCR | ONLRET | OLCUC;
  s.lflag = ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ICANON | ISIG | IEXTEN;
  s.cflag = CS7 | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL | B9600;
  s.cc[VMIN] = 0;
  s.cc[VTIME] = 5;
  return s;
}

TEST(LineSettingsTest, RawClearsEveryFlagThatAltersAByte) {
  LineSettings s = Cooked();
  MakeRaw(s);
  EXPECT_TRUE(IsRaw(s));
  EXPECT_EQ(s.iflag & ~static_cast<std::uint32_t>(IMAXBEL), 0U) << std::oct << s.iflag;
  EXPECT_EQ(s.oflag & OPOST, 0U);
  EXPECT_EQ(
      s.lflag & static_cast<std::uint32_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN),
      0U)
      << std::oct << s.lflag;
  EXPECT_EQ(s.cflag & static_cast<std::uint32_t>(CRTSCTS | CLOCAL | CREAD | CSIZE | PARENB |
                                                 PARODD | CMSPAR | HUPCL),
            static_cast<std::uint32_t>(CLOCAL | CREAD | CS8 | HUPCL));
  EXPECT_EQ(s.cc[VMIN], 1);
  EXPECT_EQ(s.cc[VTIME], 0);
}

TEST(LineSettingsTest, EachParityCodeSetsExactlyItsBits) {
  const std::pair<Parity, std::uint32_t> cases[] = {{Parity::kNone, 0},
                                                    {Parity::kOdd, PARENB | PARODD},
                                                    {Parity::kEven, PARENB},
                                                    {Parity::kMark, PARENB | PARODD | CMSPAR},
                                                    {Parity::kSpace, PARENB | CMSPAR}};
  for (const auto& [code, bits] : cases) {
    for (const std::uint32_t before : {0U, static_cast<std::uint32_t>(PARENB | PARODD | CMSPAR)}) {
      LineSettings s;
      s.cflag = CS8 | CREAD | CLOCAL | CSTOPB | before;
      ASSERT_TRUE(SetParity(s, code));
      EXPECT_EQ(s.cflag & (PARENB | PARODD | CMSPAR), bits) << "code " << static_cast<int>(code);
      EXPECT_EQ(s.cflag & ~static_cast<std::uint32_t>(PARENB | PARODD | CMSPAR),
                static_cast<std::uint32_t>(CS8 | CREAD | CLOCAL | CSTOPB));
      EXPECT_EQ(ParityOf(s), code);
    }
  }
}

}  // namespace
}  // namespace tevra
