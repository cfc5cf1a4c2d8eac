#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/plug_ledger.h"
#include "cli/plug_namer.h"
#include "cli/port_targets.h"
#include "platform/device_node_watcher.h"

namespace tevra {

// Feeds a headless run the plugs of a flashing station (`--download
// --watch`) whose downloads may start: the adapters' names that appear in
// /dev and the ports directory (DeviceNodeWatcher), their plugs through their
// settle times (PlugLedger), and their targets made off the loop
// (PlugNamer). The run's loop polls fds() and asks for what is ready.
class StationPlugFeed {
 public:
  using Clock = PlugLedger::Clock;
  using Id = PlugLedger::Id;

  static constexpr char kDevDir[] = "/dev";

  explicit StationPlugFeed(std::chrono::milliseconds settle);

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
  DeviceNodeWatcher watcher_;
  PlugLedger plugs_;
  PlugNamer namer_;  // last: its requests end before what they use goes
};

}  // namespace tevra
