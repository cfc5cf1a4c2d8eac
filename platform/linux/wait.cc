#include "platform/wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

namespace tevra {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds for poll(): -1 for no limit, rounded up so a wait never ends
// before its time-out, clamped to what poll accepts.
int PollTimeout(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) {
    return -1;
  }
  const auto left = *deadline - Clock::now();
  if (left <= Clock::duration::zero()) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

std::optional<Clock::time_point> DeadlineFor(Timeout timeout) {
  if (!timeout) {
    return std::nullopt;
  }
  return Clock::now() + std::max(*timeout, std::chrono::milliseconds::zero());
}

bool FillPollSet(std::span<const Event* const> events, std::vector<pollfd>& fds) {
  if (events.empty()) {
    errno = EINVAL;
    return false;
  }
  fds.clear();
  fds.reserve(events.size());
  for (const Event* e : events) {
    if (e == nullptr || !e->valid()) {
      errno = EINVAL;
      return false;
    }
    fds.push_back(pollfd{e->fd(), POLLIN, 0});
  }
  return true;
}

// One poll() over fds, retried on EINTR. Returns the poll result (> 0 some
// ready, 0 timed out) or -1 with errno set.
int PollUntil(std::vector<pollfd>& fds, const std::optional<Clock::time_point>& deadline) {
  for (;;) {
    const int r = ::poll(fds.data(), fds.size(), PollTimeout(deadline));
    if (r >= 0 || errno != EINTR) {
      return r;
    }
  }
}

// An event's descriptor that poll flags as bad: the wait has failed.
bool AnyError(const std::vector<pollfd>& fds) {
  const bool bad = std::any_of(fds.begin(), fds.end(), [](const pollfd& p) {
    return (p.revents & (POLLERR | POLLNVAL)) != 0;
  });
  if (bad) {
    errno = EBADF;
  }
  return bad;
}

}  // namespace

WaitResult WaitAny(std::span<const Event* const> events, Timeout timeout) {
  std::vector<pollfd> fds;
  if (!FillPollSet(events, fds)) {
    return {};
  }
  const auto deadline = DeadlineFor(timeout);
  const int r = PollUntil(fds, deadline);
  if (r < 0) {
    return {};
  }
  if (AnyError(fds)) {
    return {};
  }
  // poll reports every ready descriptor at once; the earliest listed wins.
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if ((fds[i].revents & POLLIN) != 0) {
      return {WaitStatus::kSignalled, i};
    }
  }
  return {WaitStatus::kTimedOut, 0};
}

WaitResult WaitAny(std::initializer_list<const Event*> events, Timeout timeout) {
  return WaitAny(std::span<const Event* const>(events.begin(), events.size()), timeout);
}

WaitResult WaitAll(std::span<const Event* const> events, Timeout timeout) {
  std::vector<pollfd> fds;
  if (!FillPollSet(events, fds)) {
    return {};
  }
  const auto deadline = DeadlineFor(timeout);
  for (;;) {
    // Wait only on the events not yet seen signalled; once none is left,
    // confirm all of them at one instant, since one may have been reset
    // meanwhile.
    std::vector<pollfd> waiting = fds;
    const int all = PollUntil(waiting, Clock::time_point{});
    if (all < 0) {
      return {};
    }
    if (AnyError(waiting)) {
      return {};
    }
    std::size_t ready = 0;
    std::vector<pollfd> notReady;
    notReady.reserve(waiting.size());
    for (const pollfd& p : waiting) {
      if ((p.revents & POLLIN) != 0) {
        ++ready;
      } else {
        notReady.push_back(pollfd{p.fd, POLLIN, 0});
      }
    }
    if (ready == waiting.size()) {
      return {WaitStatus::kSignalled, 0};
    }
    // Block until one of the missing ones is signalled (any of them will
    // do: the next pass re-checks the whole set).
    const int r = PollUntil(notReady, deadline);
    if (r < 0) {
      return {};
    }
    if (r == 0) {
      return {WaitStatus::kTimedOut, 0};
    }
    if (AnyError(notReady)) {
      return {};
    }
  }
}

WaitResult WaitAll(std::initializer_list<const Event*> events, Timeout timeout) {
  return WaitAll(std::span<const Event* const>(events.begin(), events.size()), timeout);
}

}  // namespace tevra
