#include "sim/attached_line.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

namespace tevra::sim {
namespace {

constexpr std::chrono::milliseconds kConnectRetry{20};

std::string Reason(const std::string& what) {
  return what + ": " + std::generic_category().message(errno);
}

// Whether t lets every byte through unchanged, in both directions.
bool IsTransparent(const termios& t) {
  constexpr tcflag_t kInputChanges =
      IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF;
  constexpr tcflag_t kLocalChanges = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
  return (t.c_iflag & kInputChanges) == 0 && (t.c_oflag & OPOST) == 0 &&
         (t.c_lflag & kLocalChanges) == 0 && (t.c_cflag & CSIZE) == CS8;
}

}  // namespace

std::unique_ptr<AttachedLine> AttachedLine::ConnectSocket(const std::string& path,
                                                          std::chrono::milliseconds wait,
                                                          std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    *error = "the socket path must have 1 to " + std::to_string(sizeof address.sun_path - 1) +
             " characters: " + path;
    return nullptr;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
      *error = Reason("socket");
      return nullptr;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the sockets API
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      if (fcntl(fd.get(), F_SETFL, O_NONBLOCK) != 0) {
        *error = Reason("make the connection to " + path + " non-blocking");
        return nullptr;
      }
      return std::unique_ptr<AttachedLine>(new AttachedLine(std::move(fd), path));
    }
    // The listener may not be up yet: the program that owns it starts alongside.
    const bool notYet = errno == ENOENT || errno == ECONNREFUSED || errno == EINTR;
    if (!notYet || std::chrono::steady_clock::now() >= deadline) {
      *error = Reason("connect to " + path);
      return nullptr;
    }
    std::this_thread::sleep_for(kConnectRetry);
  }
}

std::unique_ptr<AttachedLine> AttachedLine::OpenTty(const std::string& path, std::string* error) {
  UniqueFd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    *error = Reason("open " + path);
    return nullptr;
  }
  termios t{};
  if (tcgetattr(fd.get(), &t) != 0) {
    *error = Reason(path + " is not a tty");
    return nullptr;
  }
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  // A gadget end refuses changes to its own line settings; what counts is
  // the outcome, read back.
  const bool applied = tcsetattr(fd.get(), TCSANOW, &t) == 0;
  const int setErrno = errno;
  termios now{};
  if (tcgetattr(fd.get(), &now) != 0) {
    *error = Reason("read the settings of " + path + " back");
    return nullptr;
  }
  if (!IsTransparent(now)) {
    errno = setErrno;
    *error = path + " stays in a mode that alters bytes" +
             (applied ? std::string() : Reason(" (setting raw mode"));
    if (!applied) {
      *error += ")";
    }
    return nullptr;
  }
  return std::unique_ptr<AttachedLine>(new AttachedLine(std::move(fd), path));
}

void AttachedLine::Close() {
  // A tty's close waits up to 30 s for output nobody takes any more (a
  // removed gadget); a socket is no tty and ignores this.
  (void)tcflush(fd_.get(), TCIOFLUSH);
  fd_.Close();
}

int AttachedLine::UnreadByPeer() const {
  // TIOCOUTQ and SIOCOUTQ are the same request: output not yet taken.
  int pending = 0;
  if (!fd_.valid() || ioctl(fd_.get(), TIOCOUTQ, &pending) != 0) {
    return -1;
  }
  return pending;
}

}  // namespace tevra::sim
