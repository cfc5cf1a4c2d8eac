#include "tests/sim/slave_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace tevra::sim::test {
namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(0, left));
}

// Polls until an event or the deadline; revents, 0 on time-out, -1 on error.
int PollUntil(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, MillisLeft(deadline));
    if (r < 0 && errno == EINTR) {
      continue;
    }
    return r <= 0 ? r : p.revents;
  }
}

}  // namespace

SlaveLine::~SlaveLine() {
  Close();
}

bool SlaveLine::Open(const std::string& path) {
  Close();
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    return false;
  }
  termios t{};
  if (tcgetattr(fd_, &t) != 0) {
    Close();
    return false;
  }
  cfmakeraw(&t);
  if (tcsetattr(fd_, TCSANOW, &t) != 0) {
    Close();
    return false;
  }
  return true;
}

void SlaveLine::Adopt(int fd) {
  Close();
  fd_ = fd;
}

void SlaveLine::Close() {
  if (fd_ >= 0) {
    tcflush(fd_, TCIOFLUSH);
    close(fd_);
    fd_ = -1;
  }
}

bool SlaveLine::Write(const std::vector<std::uint8_t>& bytes, std::chrono::milliseconds cap) const {
  const auto deadline = Clock::now() + cap;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    if (PollUntil(fd_, POLLOUT, deadline) <= 0) {
      return false;
    }
  }
  return true;
}

Record SlaveLine::ReadRecord(std::chrono::milliseconds gap, std::chrono::milliseconds cap) const {
  Record rec;
  auto deadline = Clock::now() + cap;
  std::array<std::uint8_t, 4096> buf{};
  for (;;) {
    const int r = PollUntil(fd_, POLLIN, deadline);
    if (r <= 0 || (r & POLLIN) == 0) {
      return rec;
    }
    const ssize_t n = read(fd_, buf.data(), buf.size());
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        continue;
      }
      return rec;
    }
    const auto now = Clock::now();
    if (rec.bytes.empty()) {
      rec.first = now;
    }
    rec.last = now;
    rec.bytes.insert(rec.bytes.end(), buf.begin(), buf.begin() + n);
    deadline = now + gap;
  }
}

std::vector<std::uint8_t> SlaveLine::ReadCount(std::size_t n, std::chrono::milliseconds cap) const {
  const auto deadline = Clock::now() + cap;
  std::vector<std::uint8_t> out(n);
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = read(fd_, out.data() + done, n - done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    }
    if (PollUntil(fd_, POLLIN, deadline) <= 0) {
      break;
    }
  }
  out.resize(done);
  return out;
}

bool SlaveLine::QuietFor(std::chrono::milliseconds window) const {
  return PollUntil(fd_, POLLIN, Clock::now() + window) == 0;
}

bool SlaveLine::WaitHangup(std::chrono::milliseconds cap) const {
  const auto deadline = Clock::now() + cap;
  std::array<std::uint8_t, 256> buf{};
  for (;;) {
    const int r = PollUntil(fd_, POLLIN, deadline);
    if (r <= 0) {
      return false;
    }
    if ((r & POLLHUP) != 0) {
      return true;
    }
    const ssize_t n = read(fd_, buf.data(), buf.size());
    if (n == 0 || (n < 0 && errno == EIO)) {
      return true;
    }
  }
}

}  // namespace tevra::sim::test
