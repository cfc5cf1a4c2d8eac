#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/port_targets.h"
#include "platform/unique_fd.h"

namespace tevra {

// How long the naming of a plugged adapter waits for the numbering's lock
// that another updater holds, so that the adapter gets its COM number and
// keeps it; after that it is numbered without remembering. Only that
// adapter waits for its name meanwhile.
inline constexpr std::chrono::seconds kPlugNamingLockWait{30};

// Makes the targets of plugged adapters away from the station's loop: giving
// an adapter its COM number waits on the numbering's lock, which another
// updater may hold for seconds, and the loop drives every running download.
// Each request runs on a thread of its own; fd() turns readable when a target
// is made, and Take() collects it. Make's stop is requested when the namer
// goes, so that no wait holds up the end of the run; when no thread can
// start, the caller makes the target with stop already requested, waiting
// for nothing (an adapter whose numbering is locked then keeps its path).
class PlugNamer {
 public:
  using Id = std::uint64_t;
  using Make = std::function<PortTarget(const std::string& path, std::stop_token stop)>;

  explicit PlugNamer(Make make);
  PlugNamer(const PlugNamer&) = delete;
  PlugNamer& operator=(const PlugNamer&) = delete;
  // Stops the requests still running and waits for them.
  ~PlugNamer() = default;

  // False (errno set) when there is no descriptor to wake the loop by.
  bool valid() const { return wake_.valid(); }
  int fd() const { return wake_.get(); }
  void Request(Id id, const std::string& path);
  // The targets made since the last call, by request.
  std::vector<std::pair<Id, PortTarget>> Take();
  std::size_t pending() const { return pending_; }

 private:
  struct Naming {
    std::atomic<bool> done{false};
    std::jthread thread;
  };

  void Made(Id id, PortTarget target);

  Make make_;
  UniqueFd wake_;
  std::mutex mutex_;
  std::vector<std::pair<Id, PortTarget>> made_;  // under mutex_
  std::size_t pending_ = 0;
  std::list<Naming> namings_;  // last: joined before what they use goes
};

}  // namespace tevra
