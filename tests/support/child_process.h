#pragma once

#include <signal.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tevra::test {

// A program run by a test, its stdout and stderr on pipes. Killed and
// reaped on destruction if still running.
class ChildProcess {
 public:
  ChildProcess(const std::string& path, const std::vector<std::string>& args);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  void Signal(int sig) const { kill(pid_, sig); }
  // The next line of stdout, waiting at most `cap`; empty on time-out or EOF.
  std::string NextLine(std::chrono::milliseconds cap);
  // Reads both pipes to their end and reaps the program; its exit status
  // (128 + the signal when one ended it), or -1 if it did not end within `cap`.
  int Finish(std::chrono::milliseconds cap);
  const std::string& Stdout() const { return text_[0]; }
  const std::string& Stderr() const { return text_[1]; }

 private:
  // Reads what either pipe has; false once both are at EOF or the deadline passed.
  bool ReadSome(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  std::array<UniqueFd, 2> pipes_;
  std::array<std::string, 2> text_;
  std::size_t consumed_ = 0;
};

// Another program holding an exclusive flock on path (a file, made when
// missing, or a directory) for `hold` or until it is signalled: a
// collector, a backup, another updater. Null when it did not have the lock
// within `cap`.
std::unique_ptr<ChildProcess> HoldLock(const std::string& path, std::chrono::milliseconds cap,
                                       std::chrono::seconds hold = std::chrono::seconds(600));

}  // namespace tevra::test
