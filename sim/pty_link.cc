#include "sim/pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace tevra::sim {
namespace {

int PollOne(int fd, short events, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pollfd p{fd, events, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int r = poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (r < 0 && errno == EINTR) {
      continue;
    }
    if (r <= 0) {
      return r;
    }
    return p.revents;
  }
}

bool MakeDirs(const std::string& dir) {
  std::string partial;
  for (std::size_t i = 0; i <= dir.size(); ++i) {
    if (i == dir.size() || (dir[i] == '/' && i > 0)) {
      partial = dir.substr(0, i);
      if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
      }
    }
  }
  return true;
}

std::string Reason(const std::string& what) {
  return what + ": " + std::generic_category().message(errno);
}

// Takes the lock that says a live simulator serves this port. The lock
// file's last holder may have removed it meanwhile: the lock only counts
// on the file that is at the path now.
UniqueFd LockPort(const std::string& lockPath, std::string& why) {
  for (;;) {
    UniqueFd fd(open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
      why = Reason("open " + lockPath);
      return fd;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      why = errno == EWOULDBLOCK ? "another running simulator serves it (" + lockPath + ")"
                                 : Reason("flock " + lockPath);
      return UniqueFd();
    }
    struct stat held {};
    struct stat there {};
    if (fstat(fd.get(), &held) != 0) {
      why = Reason("fstat " + lockPath);
      return UniqueFd();
    }
    if (stat(lockPath.c_str(), &there) == 0 && held.st_dev == there.st_dev &&
        held.st_ino == there.st_ino) {
      return fd;
    }
  }
}

}  // namespace

PtyLink::~PtyLink() {
  PtyLink::Close();  // this class's own, as the destructor would call it anyway
}

bool PtyLink::Open(int portNumber, const std::string& portsDir, std::string* error) {
  Close();
  std::string scratch;
  std::string& why = error != nullptr ? *error : scratch;
  if (portNumber <= 0) {
    why = "port number must be 1 or more";
    return false;
  }
  if (portsDir.empty()) {
    // An empty directory would put the link at /COMn.
    why = "no ports directory given";
    return false;
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) {
    why = Reason("posix_openpt");
    return false;
  }
  char name[128] = {};
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    why = Reason("pseudo-terminal set-up");
    close(master);
    return false;
  }
  const int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    why = Reason(std::string("open ") + name);
    close(master);
    return false;
  }
  termios t{};
  if (tcgetattr(slave, &t) != 0) {
    why = Reason("tcgetattr");
    close(slave);
    close(master);
    return false;
  }
  cfmakeraw(&t);
  if (tcsetattr(slave, TCSANOW, &t) != 0) {
    why = Reason("tcsetattr");
    close(slave);
    close(master);
    return false;
  }
  if (!MakeDirs(portsDir)) {
    why = Reason("create " + portsDir);
    close(slave);
    close(master);
    return false;
  }
  const std::string link = portsDir + "/COM" + std::to_string(portNumber);
  // A link that a live simulator serves is not re-pointed; a stale one is.
  const std::string lockPath = portsDir + "/.COM" + std::to_string(portNumber) + ".lock";
  UniqueFd lock = LockPort(lockPath, why);
  if (!lock.valid()) {
    close(slave);
    close(master);
    return false;
  }
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      why = link + " exists and is not a link; not replacing it";
      close(slave);
      close(master);
      return false;
    }
    if (unlink(link.c_str()) != 0) {
      why = Reason("unlink " + link);
      close(slave);
      close(master);
      return false;
    }
  }
  if (symlink(name, link.c_str()) != 0) {
    why = Reason("symlink " + link);
    close(slave);
    close(master);
    return false;
  }
  lock_ = std::move(lock);
  lockPath_ = lockPath;
  master_ = master;
  heldSlave_ = slave;
  slavePath_ = name;
  linkPath_ = link;
  return true;
}

void PtyLink::Close() {
  if (!linkPath_.empty()) {
    // Only remove the link if it still points at our slave.
    char target[256] = {};
    const ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0 && slavePath_ == std::string(target, static_cast<std::size_t>(n))) {
      unlink(linkPath_.c_str());
    }
    linkPath_.clear();
  }
  if (heldSlave_ >= 0) {
    close(heldSlave_);
    heldSlave_ = -1;
  }
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
  }
  slavePath_.clear();
  if (lock_.valid()) {
    unlink(lockPath_.c_str());
    lock_.Close();
    lockPath_.clear();
  }
}

int PtyLink::SlaveInputPending() const {
  int pending = 0;
  if (heldSlave_ < 0 || ioctl(heldSlave_, FIONREAD, &pending) != 0) {
    return -1;
  }
  return pending;
}

// NOLINTNEXTLINE(readability-make-member-function-const): writes to the line
bool PtyLink::WriteAll(const void* data, std::size_t len, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto* p = static_cast<const unsigned char*>(data);
  while (len > 0) {
    const ssize_t n = write(master_, p, len);
    if (n > 0) {
      p += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    const int r = PollOne(master_, POLLOUT, left);
    if (r < 0) {
      return false;
    }
  }
  return true;
}

// NOLINTNEXTLINE(readability-make-member-function-const): consumes the line
long PtyLink::ReadSome(void* dst, std::size_t cap, std::chrono::milliseconds timeout) {
  const int r = PollOne(master_, POLLIN, timeout);
  if (r < 0) {
    return -1;
  }
  if (r == 0) {
    return 0;
  }
  for (;;) {
    const ssize_t n = read(master_, dst, cap);
    if (n >= 0) {
      return static_cast<long>(n);
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno == EAGAIN) {
      return 0;
    }
    return -1;
  }
}

}  // namespace tevra::sim
