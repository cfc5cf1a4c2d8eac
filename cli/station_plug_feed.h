#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/loop_wait.h"
#include "cli/port_targets.h"

namespace tevra {

// Feeds a headless run the plugs of a flashing station (`--download
// --watch`) whose downloads may start: the adapters' names that appear in
// /dev and the ports directory (DeviceNodeWatcher), their plugs through their
// settle times (PlugLedger), and their targets made off the loop
// (PlugNamer). The run's loop waits on waitables() and asks for what is
// ready. Linux only: on Windows, which has no such names to watch, it is
// never valid (errno ENOSYS), and the command line refuses --watch first.
class StationPlugFeed {
 public:
  using Clock = std::chrono::steady_clock;
  using Id = std::uint64_t;

  static constexpr char kDevDir[] = "/dev";

  explicit StationPlugFeed(std::chrono::milliseconds settle);
  StationPlugFeed(const StationPlugFeed&) = delete;
  StationPlugFeed& operator=(const StationPlugFeed&) = delete;
  ~StationPlugFeed();

  // False (errno set) when it cannot watch.
  bool valid() const;
  const std::string& portsDir() const;
  // The watcher's (first) and the namer's, for the loop's wait.
  std::vector<Waitable> waitables() const;

  // A named port, running from the start.
  Id Named(const PortTarget& target);
  void Ended(Id id);
  // The watcher's waitable was ready.
  void OnChanges(Clock::time_point now);
  std::optional<Clock::time_point> NextDue() const;
  // Sends the plugs whose settle time has passed to be named, at most `room`
  // of them with those still being named; returns those named meanwhile.
  std::vector<std::pair<Id, PortTarget>> TakeReady(Clock::time_point now, std::size_t room);
  // Settling or being named.
  std::size_t waiting() const;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace tevra
