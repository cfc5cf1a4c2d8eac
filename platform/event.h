#pragma once

namespace tevra {

// A manual-reset event (an eventfd): once Set it stays signalled, for every
// waiter, until Reset. Setting a signalled event or resetting a clear one
// changes nothing. Its descriptor is readable exactly while it is
// signalled, so poll() can wait for events and device readiness together.
// All operations may be called from any thread.
class Event {
 public:
  // Created non-signalled. On failure valid() is false and errno tells why.
  Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event();

  bool valid() const { return fd_ >= 0; }
  // False (errno set) when the event is invalid or the write failed.
  bool Set();
  bool Reset();
  // Never blocks. False for an invalid event.
  bool IsSet() const;
  // The descriptor to poll for POLLIN; -1 when invalid. Never read it:
  // reading would reset the event.
  int fd() const { return fd_; }
  // Closes the descriptor when valid; the event is invalid afterwards.
  void Close();

 private:
  int fd_ = -1;
};

}  // namespace tevra
