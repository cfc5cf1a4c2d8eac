#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;  // NOLINT: POSIX declares it for the program

namespace tevra::test {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args) {
  std::array<UniqueFd, 2> writeEnds;
  for (std::size_t i = 0; i < 2; ++i) {
    std::array<int, 2> ends{};
    if (pipe2(ends.data(), O_CLOEXEC) != 0) {
      return;
    }
    pipes_[i] = UniqueFd(ends[0]);
    writeEnds[i] = UniqueFd(ends[1]);
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, writeEnds[0].get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&fa, writeEnds[1].get(), STDERR_FILENO);
  std::vector<std::string> all{path};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(all.size() + 1);
  for (std::string& a : all) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&fa);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string ChildProcess::NextLine(std::chrono::milliseconds cap) {
  const auto deadline = std::chrono::steady_clock::now() + cap;
  std::size_t nl = 0;
  while ((nl = text_[0].find('\n', consumed_)) == std::string::npos) {
    if (!ReadSome(deadline)) {
      return {};
    }
  }
  std::string line = text_[0].substr(consumed_, nl - consumed_);
  consumed_ = nl + 1;
  return line;
}

int ChildProcess::Finish(std::chrono::milliseconds cap) {
  const auto deadline = std::chrono::steady_clock::now() + cap;
  while (ReadSome(deadline)) {
  }
  int status = 0;
  if (pipes_[0].valid() || pipes_[1].valid() || waitpid(pid_, &status, 0) != pid_) {
    return -1;
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ChildProcess::ReadSome(std::chrono::steady_clock::time_point deadline) {
  std::array<pollfd, 2> fds{pollfd{pipes_[0].get(), POLLIN, 0}, {pipes_[1].get(), POLLIN, 0}};
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if ((!pipes_[0].valid() && !pipes_[1].valid()) || left.count() <= 0) {
    return false;
  }
  const int r = poll(fds.data(), fds.size(), static_cast<int>(left.count()));
  for (std::size_t i = 0; i < 2 && r > 0; ++i) {
    std::array<char, 4096> buf{};
    const ssize_t n = fds[i].revents != 0 ? read(fds[i].fd, buf.data(), buf.size()) : -1;
    if (n > 0) {
      text_[i].append(buf.data(), static_cast<std::size_t>(n));
    } else if (fds[i].revents != 0 && (n == 0 || errno != EINTR)) {
      pipes_[i].Close();
    }
  }
  return r > 0 || (r < 0 && errno == EINTR);
}

std::unique_ptr<ChildProcess> HoldLock(const std::string& path, std::chrono::milliseconds cap,
                                       std::chrono::seconds hold) {
  // The lock goes with descriptor 9 to `sleep`, and with it.
  constexpr char kScript[] =
      R"(if [ -d "$0" ]; then exec 9<"$0"; else exec 9>>"$0"; fi && flock 9 && echo locked &&
exec sleep "$1")";
  auto holder = std::make_unique<ChildProcess>(
      "/bin/sh", std::vector<std::string>{"-c", kScript, path, std::to_string(hold.count())});
  if (holder->NextLine(cap) != "locked") {
    return nullptr;
  }
  return holder;
}

}  // namespace tevra::test
