#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <thread>

#include "cli/port_download.h"

namespace tevra {

// Closes ended ports while others still run: closing takes a moment (the
// workers stop, the line settles), so each port closes on a thread of its
// own, and the loop only reaps what has finished. Without a thread to
// spare, a port closes in the caller. Destruction waits for every close.
class PortCloser {
 public:
  PortCloser() = default;
  PortCloser(const PortCloser&) = delete;
  PortCloser& operator=(const PortCloser&) = delete;
  ~PortCloser() = default;

  void Close(std::unique_ptr<PortDownload> port);
  // Destroys the ports whose close has finished.
  void Reap();
  // Whether a port still closing holds `device` (its lock is ours until the
  // close ends): a new download of it must wait, or find it busy.
  bool Holds(const DeviceIdentity& device) const;

 private:
  struct Closing {
    std::unique_ptr<PortDownload> port;
    std::atomic<bool> done{false};
    std::jthread thread;  // last: joined before the port goes
  };

  std::list<Closing> closing_;
};

}  // namespace tevra
