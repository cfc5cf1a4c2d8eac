#pragma once

#include <chrono>
#include <string_view>

namespace tevra {

// Why the window cannot start, shown where a person who started the updater
// from a file manager looks: a desktop notification. Standard error stays
// where the cause is written first; this only repeats it.
class DesktopNotification {
 public:
  // Sends the cause to the session bus's notification server through the
  // system's libdbus-1; true when the server took it. Returns at once without
  // a session bus or without libdbus, and within kGiveUp otherwise, however
  // the bus behaves; says nothing when it fails.
  static bool ShowStartFailure(std::string_view cause);

  static constexpr std::chrono::seconds kGiveUp{3};
};

}  // namespace tevra
