#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tevra::test {

// A program run by a test, its stdout and stderr on pipes. Killed and
// reaped on destruction if still running.
class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // Runs path with args; variables named in `unset` are left out of its
  // environment.
  ChildProcess(const std::string& path, const std::vector<std::string>& args,
               const std::vector<std::string>& unset = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  bool Started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void Signal(int sig) const;

  // The next line of stdout, waiting at most `cap`; empty on time-out or EOF.
  std::string NextLine(std::chrono::milliseconds cap);
  // Reads both pipes to their end and reaps the program; its exit status
  // (128 + the signal when one ended it), or -1 if it did not end within `cap`.
  int Finish(std::chrono::milliseconds cap);

  const std::string& Stdout() const { return outText_; }
  const std::string& Stderr() const { return errText_; }

 private:
  // Reads what either pipe has; false once both are at EOF or the deadline passed.
  bool ReadSome(Clock::time_point deadline);

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outText_;
  std::string errText_;
  std::size_t consumed_ = 0;
};

}  // namespace tevra::test
