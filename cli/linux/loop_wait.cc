#include "cli/loop_wait.h"

#include <poll.h>

#include <cerrno>

#include "cli/poll_timeout.h"

namespace tevra {

bool WaitReady(std::span<const Waitable> items,
               std::optional<std::chrono::steady_clock::time_point> deadline,
               std::vector<bool>& ready) {
  std::vector<pollfd> fds;
  fds.reserve(items.size());
  for (const Waitable fd : items) {
    fds.push_back(pollfd{fd, POLLIN, 0});
  }
  ready.assign(items.size(), false);
  const int n =
      ::poll(fds.data(), fds.size(),
             PollTimeout<std::chrono::steady_clock>(deadline, std::chrono::steady_clock::now()));
  if (n < 0) {
    return errno == EINTR;
  }
  for (std::size_t i = 0; i < fds.size(); ++i) {
    ready[i] = (fds[i].revents & POLLIN) != 0;
  }
  return true;
}

}  // namespace tevra
