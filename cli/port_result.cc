#include "cli/port_result.h"

#include <array>
#include <cstdio>
#include <utility>

namespace tevra {

PortResult PortResult::Done(std::uint64_t bytes) {
  PortResult result;
  result.kind = Kind::kDone;
  result.bytes = bytes;
  return result;
}

PortResult PortResult::Failed(ExitStatus status, std::string cause) {
  PortResult result;
  result.status = status;
  result.cause = std::move(cause);
  return result;
}

PortResult PortResult::Interrupted(std::string where) {
  PortResult result;
  result.kind = Kind::kInterrupted;
  result.cause = std::move(where);
  return result;
}

std::string PortResult::Line() const {
  switch (kind) {
    case Kind::kDone: {
      std::array<char, 32> took{};
      (void)std::snprintf(took.data(), took.size(), "%.1f s", seconds);
      return "done: " + std::to_string(bytes) + " bytes in " + took.data() +
             ", acknowledged by the device";
    }
    case Kind::kInterrupted:
      return "interrupted " + cause;
    case Kind::kFailed:
      break;
  }
  return "failed: " + cause;
}

std::string PortResult::RecordCause() const {
  switch (kind) {
    case Kind::kDone:
      return {};
    case Kind::kInterrupted:
      return Line();
    case Kind::kFailed:
      break;
  }
  return cause;
}

}  // namespace tevra
