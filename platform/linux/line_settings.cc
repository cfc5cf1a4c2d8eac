// The only file that includes <asm/termbits.h>: it clashes with <termios.h>,
// and only termios2 carries arbitrary rates and reports what the driver kept.
#include "platform/line_settings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>

namespace tevra {
namespace {

static_assert(LineSettings::kControlChars == NCCS);

constexpr std::uint32_t kRawClearedInput = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP |
                                           INLCR | IGNCR | ICRNL | IUCLC | IXON | IXANY | IXOFF |
                                           IMAXBEL;
constexpr std::uint32_t kRawClearedOutput = OPOST | OLCUC | ONLCR | OCRNL | ONOCR | ONLRET;
constexpr std::uint32_t kRawClearedLocal =
    ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ICANON | ISIG | IEXTEN | XCASE;
constexpr std::uint32_t kParityBits = PARENB | PARODD | CMSPAR;

void ToKernel(const LineSettings& s, termios2& t) {
  t.c_iflag = s.iflag;
  t.c_oflag = s.oflag;
  t.c_cflag = s.cflag;
  t.c_lflag = s.lflag;
  t.c_line = s.line;
  std::copy(s.cc.begin(), s.cc.end(), std::begin(t.c_cc));
  t.c_ispeed = s.ispeed;
  t.c_ospeed = s.ospeed;
}

void FromKernel(const termios2& t, LineSettings& s) {
  s.iflag = t.c_iflag;
  s.oflag = t.c_oflag;
  s.cflag = t.c_cflag;
  s.lflag = t.c_lflag;
  s.line = t.c_line;
  std::copy(std::begin(t.c_cc), std::end(t.c_cc), s.cc.begin());
  s.ispeed = t.c_ispeed;
  s.ospeed = t.c_ospeed;
}

}  // namespace

void MakeRaw(LineSettings& s) {
  s.iflag &= ~kRawClearedInput;
  s.oflag &= ~kRawClearedOutput;
  s.lflag &= ~kRawClearedLocal;
  s.cflag &= ~(CSIZE | kParityBits | CRTSCTS);
  s.cflag |= CS8 | CREAD | CLOCAL;
  s.cc[VMIN] = 1;
  s.cc[VTIME] = 0;
}

bool IsRaw(const LineSettings& s) {
  return (s.iflag & kRawClearedInput) == 0 && (s.oflag & kRawClearedOutput) == 0 &&
         (s.lflag & kRawClearedLocal) == 0 && (s.cflag & CRTSCTS) == 0 &&
         (s.cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL) && s.cc[VMIN] == 1 && s.cc[VTIME] == 0;
}

bool SetDataBits(LineSettings& s, std::uint8_t bits) {
  std::uint32_t size = 0;
  switch (bits) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      return false;
  }
  s.cflag = (s.cflag & ~static_cast<std::uint32_t>(CSIZE)) | size;
  return true;
}

bool SetParity(LineSettings& s, Parity parity) {
  std::uint32_t bits = 0;
  switch (parity) {
    case Parity::kNone:
      bits = 0;
      break;
    case Parity::kOdd:
      bits = PARENB | PARODD;
      break;
    case Parity::kEven:
      bits = PARENB;
      break;
    case Parity::kMark:  // with CMSPAR, PARODD selects mark
      bits = PARENB | PARODD | CMSPAR;
      break;
    case Parity::kSpace:
      bits = PARENB | CMSPAR;
      break;
    default:
      return false;
  }
  s.cflag = (s.cflag & ~kParityBits) | bits;
  return true;
}

bool SetStopBits(LineSettings& s, StopBits stopBits) {
  switch (stopBits) {
    case StopBits::kOne:
      s.cflag &= ~static_cast<std::uint32_t>(CSTOPB);
      return true;
    case StopBits::kOneAndAHalf:
    case StopBits::kTwo:
      s.cflag |= CSTOPB;
      return true;
    default:
      return false;
  }
}

bool SetRate(LineSettings& s, std::uint32_t rate) {
  if (rate == 0) {
    return false;
  }
  s.cflag &= ~static_cast<std::uint32_t>(CBAUD | CIBAUD);
  s.cflag |= BOTHER | (BOTHER << IBSHIFT);
  s.ospeed = rate;
  s.ispeed = rate;
  return true;
}

std::uint32_t RateOf(const LineSettings& s) {
  return s.ospeed;
}

std::uint8_t DataBitsOf(const LineSettings& s) {
  switch (s.cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

Parity ParityOf(const LineSettings& s) {
  if ((s.cflag & PARENB) == 0) {
    return Parity::kNone;
  }
  const bool odd = (s.cflag & PARODD) != 0;
  if ((s.cflag & CMSPAR) != 0) {
    return odd ? Parity::kMark : Parity::kSpace;
  }
  return odd ? Parity::kOdd : Parity::kEven;
}

StopBits StopBitsOf(const LineSettings& s) {
  return (s.cflag & CSTOPB) != 0 ? StopBits::kTwo : StopBits::kOne;
}

bool ReadLineSettings(int fd, LineSettings& s) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) {
    return false;
  }
  FromKernel(t, s);
  return true;
}

bool WriteLineSettings(int fd, const LineSettings& s) {
  termios2 t{};
  ToKernel(s, t);
  for (;;) {
    if (ioctl(fd, TCSETS2, &t) == 0) {
      return true;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

}  // namespace tevra
