#include "cli/descriptor_limit.h"

#include <windows.h>

namespace tevra {
namespace {

// The loop waits for the stop request and every port's notification in one
// WaitForMultipleObjects, which takes at most this many handles.
constexpr std::size_t kMaxPorts = MAXIMUM_WAIT_OBJECTS - 1;

}  // namespace

// Windows has no per-process limit a program raises.
bool RaiseDescriptorLimit() {
  return true;
}

std::optional<std::string> DescriptorShortfall(std::size_t ports) {
  if (ports <= kMaxPorts) {
    return std::nullopt;
  }
  return std::to_string(ports) + " ports at once, but at most " + std::to_string(kMaxPorts) +
         " download together on Windows: give fewer ports";
}

}  // namespace tevra
