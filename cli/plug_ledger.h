#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/port_targets.h"

namespace tevra {

// The book of plugs a flashing station (`--download --watch`) keeps: each
// appearance of an adapter's name, from when it appeared through its
// settle time and its download to when it is gone. An adapter is flashed
// once per plug: a name that stays after its outcome is not flashed again
// until it is removed and created again.
//
// Each name that appears is a plug of its own, unless a download of the
// same device runs when it settles: one device under two names (/dev/ttyUSB0
// and a COMn link to it) plugged together is flashed once, and removing
// either name ends both.
class PlugLedger {
 public:
  using Clock = std::chrono::steady_clock;
  using Id = std::uint64_t;

  struct Due {
    Id id = 0;
    std::string path;
    DeviceIdentity identity;
  };

  // There at the start: never flashed in this plug.
  void LeaveAlone(const std::string& path);
  // Named on the command line, flashed from the start.
  Id Named(const std::string& path, std::optional<DeviceIdentity> identity);
  // A name appeared; it is due at `due`.
  void Appeared(const std::string& path, Clock::time_point due);
  void Gone(const std::string& path);
  // The download of plug `id` has its outcome.
  void Ended(Id id);

  // The earliest settle time still to come.
  std::optional<Clock::time_point> NextDue() const;
  // The plugs whose settle time has passed, now running, at most `room` of
  // them; the rest, and those whose device is gone or is being flashed
  // through another name, are left alone.
  std::vector<Due> TakeDue(Clock::time_point now, std::size_t room);
  std::size_t settling() const;

 private:
  enum class State { kSettling, kRunning, kEnded, kLeftAlone };
  struct Plug {
    Id id = 0;
    std::string path;
    State state = State::kSettling;
    Clock::time_point due{};
    std::optional<DeviceIdentity> identity;
    bool present = true;
  };

  Plug& Add(const std::string& path, State state);
  // Forgets the plugs that are gone and no longer run.
  void Prune();

  std::vector<Plug> plugs_;
  Id nextId_ = 1;
};

}  // namespace tevra
