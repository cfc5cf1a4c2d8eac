#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

extern char** environ;  // NOLINT: POSIX declares it for the program

namespace tevra::test {
namespace {

void Drain(short revents, int& fd, std::string& text) {
  if (fd < 0 || revents == 0) {
    return;
  }
  std::array<char, 4096> buf{};
  const ssize_t n = read(fd, buf.data(), buf.size());
  if (n > 0) {
    text.append(buf.data(), static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    close(fd);
    fd = -1;
  }
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           const std::vector<std::string>& unset) {
  std::array<int, 2> out{-1, -1};
  std::array<int, 2> err{-1, -1};
  if (pipe2(out.data(), O_CLOEXEC) != 0 || pipe2(err.data(), O_CLOEXEC) != 0) {
    return;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
  std::vector<std::string> all{path};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(all.size() + 1);
  for (std::string& a : all) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const bool dropped = std::any_of(unset.begin(), unset.end(), [&](const std::string& name) {
      return entry.substr(0, name.size() + 1) == name + "=";
    });
    if (!dropped) {
      envp.push_back(*e);
    }
  }
  envp.push_back(nullptr);
  if (posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  out_ = out[0];
  err_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (const int fd : {out_, err_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void ChildProcess::Signal(int sig) const {
  kill(pid_, sig);
}

std::string ChildProcess::NextLine(std::chrono::milliseconds cap) {
  const auto deadline = Clock::now() + cap;
  for (;;) {
    const auto nl = outText_.find('\n', consumed_);
    if (nl != std::string::npos) {
      std::string line = outText_.substr(consumed_, nl - consumed_);
      consumed_ = nl + 1;
      return line;
    }
    if (!ReadSome(deadline)) {
      return {};
    }
  }
}

int ChildProcess::Finish(std::chrono::milliseconds cap) {
  const auto deadline = Clock::now() + cap;
  while (ReadSome(deadline)) {
  }
  if (out_ >= 0 || err_ >= 0) {
    return -1;  // still running
  }
  int status = 0;
  if (waitpid(pid_, &status, 0) != pid_) {
    return -1;
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ChildProcess::ReadSome(Clock::time_point deadline) {
  std::array<pollfd, 2> fds{pollfd{out_, POLLIN, 0}, pollfd{err_, POLLIN, 0}};
  if (out_ < 0 && err_ < 0) {
    return false;
  }
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) {
    return false;
  }
  const int r = poll(fds.data(), fds.size(), static_cast<int>(left));
  if (r < 0 && errno == EINTR) {
    return true;
  }
  if (r <= 0) {
    return false;
  }
  Drain(fds[0].revents, out_, outText_);
  Drain(fds[1].revents, err_, errText_);
  return true;
}

}  // namespace tevra::test
