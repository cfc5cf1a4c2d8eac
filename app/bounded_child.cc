#include "app/bounded_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/unique_fd.h"

namespace tevra {
namespace {

// Ends the child however far it got, and reaps it.
class KilledAtExit {
 public:
  explicit KilledAtExit(pid_t pid) : pid_(pid) {}
  KilledAtExit(const KilledAtExit&) = delete;
  KilledAtExit& operator=(const KilledAtExit&) = delete;
  ~KilledAtExit() {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

 private:
  pid_t pid_;
};

[[noreturn]] void RunInChild(const std::function<bool()>& work, const UniqueFd& answer) {
  // What the libraries inside may print would add to the one line the
  // person gets from the parent.
  const UniqueFd nowhere(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!nowhere.valid() || ::dup2(nowhere.get(), STDOUT_FILENO) < 0 ||
      ::dup2(nowhere.get(), STDERR_FILENO) < 0) {
    ::_exit(1);
  }
  const char result = work() ? '1' : '0';
  ::_exit(::write(answer.get(), &result, 1) == 1 ? 0 : 1);
}

}  // namespace

bool BoundedChild::Run(Deadline deadline, const std::function<bool()>& work) {
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
    return false;
  }
  const UniqueFd answer(ends[0]);
  UniqueFd answerOut(ends[1]);
  const pid_t pid = ::fork();
  if (pid < 0) {
    return false;
  }
  if (pid == 0) {
    RunInChild(work, answerOut);
  }
  // Only the child holds the writing end now: its end is the pipe's end.
  answerOut.Close();
  const KilledAtExit child(pid);
  for (;;) {
    const int left = MillisecondsLeft(deadline);
    if (left == 0) {
      return false;
    }
    pollfd entry{answer.get(), POLLIN, 0};
    const int ready = ::poll(&entry, 1, left);
    if (ready < 0 && errno != EINTR) {
      return false;
    }
    if (ready > 0) {
      char result = 0;
      const ssize_t got = ::read(answer.get(), &result, 1);
      if (got >= 0 || errno != EINTR) {
        return got == 1 && result == '1';
      }
    }
  }
}

int BoundedChild::MillisecondsLeft(Deadline deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace tevra
