#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/plug_namer.h"
#include "cli/port_targets.h"
#include "cli/watched_adapters.h"
#include "platform/adapter_watcher.h"

namespace tevra {

// What a flashing station (`--download --watch`) adds to a headless run:
// the adapters that appear in /dev and the ports directory (AdapterWatcher),
// their plugs through their settle times (WatchedAdapters), and their targets
// made off the loop (PlugNamer). The run's loop polls fds() and asks for the
// plugs whose downloads may start.
class StationWatch {
 public:
  using Clock = WatchedAdapters::Clock;
  using Id = WatchedAdapters::Id;

  static constexpr char kDevDir[] = "/dev";

  explicit StationWatch(std::chrono::milliseconds settle);

  // False (errno set) when it cannot watch.
  bool valid() const { return watcher_.valid() && namer_.valid(); }
  const std::string& portsDir() const { return watcher_.portsDir(); }
  // The watcher's and the namer's, for poll.
  std::array<int, 2> fds() const { return {watcher_.fd(), namer_.fd()}; }

  // A named port, running from the start.
  Id Named(const PortTarget& target) { return plugs_.Named(target.path, target.identity); }
  void Ended(Id id) { plugs_.Ended(id); }
  // The watcher's descriptor was readable.
  void OnChanges(Clock::time_point now);
  std::optional<Clock::time_point> NextDue() const { return plugs_.NextDue(); }
  // Sends the plugs whose settle time has passed to be named, at most `room`
  // of them with those still being named; returns those named meanwhile.
  std::vector<std::pair<Id, PortTarget>> TakeReady(Clock::time_point now, std::size_t room);
  // Settling or being named.
  std::size_t waiting() const { return plugs_.settling() + namer_.pending(); }

 private:
  std::chrono::milliseconds settle_;
  AdapterWatcher watcher_;
  WatchedAdapters plugs_;
  PlugNamer namer_;  // last: its requests end before what they use goes
};

}  // namespace tevra
