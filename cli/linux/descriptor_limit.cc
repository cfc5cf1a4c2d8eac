#include "cli/descriptor_limit.h"

#include <sys/resource.h>

#include <filesystem>
#include <system_error>

namespace tevra {
namespace {

// Descriptors open in this process now; the directory stream's own is not
// counted.
std::size_t OpenDescriptors() {
  std::error_code error;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  constexpr std::size_t kStandardStreams = 3;  // all that /proc may not tell
  return error || count == 0 ? kStandardStreams : count - 1;
}

std::string Limit(rlim_t value) {
  return value == RLIM_INFINITY ? std::string("unlimited") : std::to_string(value);
}

}  // namespace

bool RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return false;
  }
  if (limit.rlim_cur == limit.rlim_max) {
    return true;
  }
  limit.rlim_cur = limit.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

std::optional<std::string> DescriptorShortfall(std::size_t ports) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::nullopt;  // nothing known to stop the ports
  }
  const std::size_t own = OpenDescriptors() + kDescriptorMargin;
  const std::size_t needed = own + ports * kDescriptorsPerPort;
  if (needed <= limit.rlim_cur) {
    return std::nullopt;
  }
  return std::to_string(ports) + (ports == 1 ? " port needs " : " ports need ") +
         std::to_string(needed) + " open file descriptors (" + std::to_string(kDescriptorsPerPort) +
         " per port, " + std::to_string(own) + " for the updater), but the limit is " +
         Limit(limit.rlim_cur) + " (ulimit -n; hard limit " + Limit(limit.rlim_max) +
         "): give fewer ports or raise the "
         "hard limit";
}

}  // namespace tevra
