#pragma once

namespace tevra {

// A manual-reset event: once Set it stays signalled, for every waiter,
// until Reset. Setting a signalled event or resetting a clear one changes
// nothing. All operations may be called from any thread.
//
// On Linux an eventfd whose descriptor is readable exactly while it is
// signalled, so poll() can wait for events and device readiness together;
// on Windows an event object made by CreateEventW, for
// WaitForMultipleObjects.
class Event {
 public:
#if defined(_WIN32)
  using Native = void*;  // HANDLE; null when invalid
  static constexpr Native kInvalid = nullptr;
#else
  using Native = int;  // the eventfd; -1 when invalid
  static constexpr Native kInvalid = -1;
#endif

  // Created non-signalled. On failure valid() is false and errno tells why.
  Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event();

  bool valid() const {
    return native_ != kInvalid;
  }
  // The system's object, for waiting on it together with a device.
  Native native() const {
    return native_;
  }
  // False (errno set) when the event is invalid or the write failed.
  bool Set();
  bool Reset();
  // Never blocks. False for an invalid event.
  bool IsSet() const;
#if !defined(_WIN32)
  // The descriptor to poll for POLLIN; -1 when invalid. Never read it:
  // reading would reset the event.
  int fd() const {
    return native_;
  }
#endif
  // Closes the descriptor or handle when valid; the event is invalid
  // afterwards.
  void Close();

 private:
  Native native_ = kInvalid;
};

}  // namespace tevra
