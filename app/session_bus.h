#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "app/bus_message.h"
#include "platform/unique_fd.h"

namespace tevra {

// A private connection to the user's session bus in which no wait passes
// the deadline given at connection. A bus is never started: without
// DBUS_SESSION_BUS_ADDRESS or a socket at $XDG_RUNTIME_DIR/bus there is none.
// Unix socket addresses only (path= and abstract=), as desktops give them.
class SessionBus {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  // Connected, authenticated and greeted; !connected() when that failed.
  static SessionBus Connect(Deadline deadline);

  bool connected() const { return fd_.valid(); }

  // Sends call and waits for its reply: true when it is no error.
  bool Call(const BusMessage& call);

 private:
  SessionBus(UniqueFd fd, Deadline deadline) : fd_(std::move(fd)), deadline_(deadline) {}

  bool Authenticate();
  bool Send(std::string_view data);
  // Waits for more bytes into received_; false on the deadline, an error or
  // the end of the stream.
  bool Receive();

  UniqueFd fd_;
  Deadline deadline_;
  std::uint32_t lastSerial_ = 0;
  std::string received_;
};

}  // namespace tevra
