#pragma once

#include <cstdint>

namespace tevra {

// The window-side receiver of the serial workers' notifications (the
// stand-in for a window handle and PostMessage).
//
// Contract: Post may be called from any thread, must never block on the
// receiver's thread and must not run the receiver's handler synchronously;
// the notification is handled later on the receiver's own thread. The
// receiver must outlive every SerialPort that posts to it while open.
class NotifyTarget {
 public:
  NotifyTarget() = default;
  NotifyTarget(const NotifyTarget&) = delete;
  NotifyTarget& operator=(const NotifyTarget&) = delete;
  virtual ~NotifyTarget() = default;

  // Returns false when the notification could not be queued.
  virtual bool Post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

}  // namespace tevra
