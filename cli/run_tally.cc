#include "cli/run_tally.h"

namespace tevra {

void RunTally::Add(const PortResult& result, std::size_t order) {
  switch (result.kind) {
    case PortResult::Kind::kDone:
      ++flashed_;
      return;
    case PortResult::Kind::kInterrupted:
      ++interrupted_;
      return;
    case PortResult::Kind::kFailed:
      break;
  }
  ++failed_;
  if (!firstFailureOrder_ || order < *firstFailureOrder_) {
    firstFailureOrder_ = order;
    firstFailure_ = result.status;
  }
}

std::string RunTally::Text(std::size_t running, std::size_t settling) const {
  std::string text = std::to_string(flashed_) + " flashed, " + std::to_string(failed_) + " failed";
  const auto add = [&text](std::size_t n, const char* what) {
    if (n != 0) {
      text += ", " + std::to_string(n) + " " + what;
    }
  };
  add(interrupted_, "interrupted");
  add(running, "running");
  add(settling, "settling");
  return text;
}

}  // namespace tevra
