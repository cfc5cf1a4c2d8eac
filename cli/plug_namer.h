#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/port_targets.h"
#include "platform/unique_fd.h"

namespace tevra {

// Makes the targets of plugged adapters away from the station's loop: giving
// an adapter its COM number waits on the numbering's lock, which another
// updater may hold for seconds, and the loop drives every running download.
// Each request runs on a thread of its own (in the caller when none can
// start); fd() turns readable when a target is made, and Take() collects it.
class PlugNamer {
 public:
  using Id = std::uint64_t;
  using Make = std::function<PortTarget(const std::string& path)>;

  explicit PlugNamer(Make make);
  PlugNamer(const PlugNamer&) = delete;
  PlugNamer& operator=(const PlugNamer&) = delete;
  // Waits for the requests still running.
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
