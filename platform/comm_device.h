#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/comm_bits.h"
#include "platform/event.h"
#include "platform/input_queue.h"
#include "platform/line_error_counter.h"
#include "platform/line_settings.h"

namespace tevra {

// The four line settings the port changes; everything else on the line is
// fixed raw 8-bit transparent (no flow control, no translation).
struct CommState {
  std::uint32_t BaudRate = 0;
  std::uint8_t ByteSize = 0;
  tevra::Parity Parity = tevra::Parity::kNone;
  tevra::StopBits StopBits = tevra::StopBits::kOne;
};

struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};
inline constexpr std::uint32_t kReadReturnAtOnce = 0xFFFFFFFF;

enum class CommWaitStatus {
  kEvent,    // mask holds what happened
  kStopped,  // the stop event was signalled (checked first)
  kFailed,   // nothing to wait on (closed, or the line hung up earlier); errno set
};

enum class WriteStatus {
  kCompleted,         // all bytes accepted at once
  kCompletedPending,  // had to wait for room, then all bytes were accepted
  kAbandoned,         // the stop event came first; the rest is dropped
  kFailed,            // write error or hang-up; errno set
};

// Why the last Open or SetCommState failed, in the words of the one line
// its caller prints ("busy: another program holds it (flock)"); error is
// the errno the call left.
struct CommError {
  int error = 0;
  std::string cause;
};

// A serial device opened by its path, a stand-in for a Win32 comm handle
// opened for overlapped I/O. Which device a port name means is the
// resolver's business (port_resolver.h).
//
// Threads: Open, Close and the settings calls run on one thread while no
// other call is in progress. Afterwards WaitCommEvent (one thread),
// WriteFile (one thread), ClearCommError and ReadFile (any threads) may run
// concurrently. Received bytes are moved from the descriptor into the input
// queue by WaitCommEvent only; ClearCommError counts that queue and
// ReadFile takes from it.
class CommDevice {
 public:
  CommDevice() = default;
  CommDevice(const CommDevice&) = delete;
  CommDevice& operator=(const CommDevice&) = delete;
  ~CommDevice();

  // Opens the device at the absolute `path` exclusively (flock, which also
  // keeps root out, and TIOCEXCL), non-blocking, and makes the line raw and
  // transparent at once (data bits, parity and rate stay as the driver holds
  // them until SetCommState); input that came before is flushed. `label` is
  // how diagnostics name the port ("COM3 (/dev/ttyUSB0)"); empty, the path.
  // Both are printed through Printable(). A null or relative path fails with
  // ENOENT; a device that is not a terminal with ENOTTY; one locked by
  // another holder with EWOULDBLOCK. On failure returns false with errno
  // set and LastError() saying why (permission with the device's owner and
  // group and why this user is not let in, busy and by which lock, no such
  // device); it prints nothing: the caller says it in one line. Fails
  // (EISCONN) without any change when this object is already open.
  bool Open(const char* path, std::string_view label = {});
  bool IsOpen() const;
  // The line hung up or failed with EIO (the device is gone) since Open.
  bool IsGone() const { return gone_; }
  // True once per Open, for whichever caller first finds the device gone:
  // that one says so, in one line.
  bool TakeGoneNotice();
  // The last Open or SetCommState failure.
  const CommError& LastError() const { return lastError_; }
  // How lines about the port name it: Open's label, or its path.
  const std::string& Label() const { return label_; }
  // Flushes both directions (so close() never waits for unsent output),
  // puts back the line settings Open found, clears the exclusive flag,
  // unlocks, closes; queued input, error bits, the event history and the
  // mask are discarded. Works on a hung-up line.
  // True when it was open, false (nothing done) when closed. Never call
  // while another thread is inside a call.
  bool Close();

  // The events WaitCommEvent reports; only EV_RXCHAR and EV_ERR exist here,
  // other bits are accepted and never reported. 0 after Open.
  bool SetCommMask(std::uint32_t mask);
  // The line as the driver holds it, in CommState terms (the rate in bits
  // per second; two stop bits read back as StopBits::kTwo).
  bool GetCommState(CommState& state) const;
  // Applies the four settings on a raw, transparent line (any rate, by
  // termios2 BOTHER) and reads the line back. Fails with EINVAL, the line
  // as it was, for a rate of 0 (on POSIX it would hang the line up), a
  // ByteSize outside 5..8, or an unknown parity or stop-bit code; fails with
  // EINVAL after applying when the driver did not keep the exact rate or
  // the stop bits, or changed data bits or parity in any way but the one a
  // pseudo-terminal does (CS8 without parity, accepted). Each failure is
  // said by LastError(). Applying the same settings twice is fine.
  bool SetCommState(const CommState& state);
  // Only ReadIntervalTimeout == kReadReturnAtOnce with the other read
  // values 0 is supported (reads return at once); write values must be 0.
  bool SetCommTimeouts(const CommTimeouts& timeouts);

  // Waits, without limit, for the next line event in the mask or for
  // `stop`, which wins when both are there (it is checked first and never
  // consumed). EV_RXCHAR is reported once per arrival of new bytes, never
  // for bytes that merely stay queued; events that happen while no wait
  // runs are remembered and reported by the next wait, once (several in one
  // mask). EV_ERR on a queue overflow (excess dropped, the first bytes
  // kept), a line error the driver counts (TIOCGICOUNT, where supported), or
  // a hang-up. After a hang-up EV_ERR comes once and every later wait
  // returns kFailed (EIO) at once without touching the descriptor: the
  // caller must pace its retries. Bytes arrive in the input queue only
  // while a wait runs, whether or not EV_RXCHAR is in the mask.
  CommWaitStatus WaitCommEvent(const Event& stop, std::uint32_t& mask);
  // errors: the CE_ bits collected since the last call (then cleared);
  // inQueue: bytes waiting in the input queue. Either pointer may be null.
  // Still works after a hang-up, so the last bytes can be counted and read.
  bool ClearCommError(std::uint32_t* errors, std::uint32_t* inQueue);
  // Takes up to len bytes from the input queue, oldest first, and returns at
  // once (read = 0 when the queue is empty); never blocks, never touches
  // the descriptor.
  bool ReadFile(void* dst, std::uint32_t len, std::uint32_t& read);
  // Writes all len bytes, in order. When the driver has no room, waits for
  // it (the result is then kCompletedPending) unless `stop` comes first:
  // then the rest is dropped, the driver's unsent output is flushed so no
  // half record leaves later, and the result is kAbandoned. A hang-up or
  // write error gives kFailed (errno set) at once, also on every later call.
  // `stop` is only looked at while waiting; it is never consumed.
  WriteStatus WriteFile(const Event& stop, const void* data, std::uint32_t len);

#if !defined(_WIN32)
  // The line as the last successful SetCommState asked the driver for it. A
  // pseudo-terminal silently drops parity, so this, not a read-back, is
  // what shows the settings the port applies.
  const LineSettings& RequestedLine() const {
    return requested_;
  }
#endif

  // The cause of an Open failure with this errno, in the words of its
  // diagnostic line ("no such device", "busy: ..."); for a permission
  // failure on `path`, also who may use the device and why this user may
  // not ("permission denied: /dev/ttyUSB0 is root:dialout 0660 and ...").
  static std::string OpenFailureCause(int error, const std::string& path = {});

  // What the input queue holds at most; bytes beyond it are dropped (CE_RXOVER).
  static constexpr std::size_t kInputQueueCapacity = std::size_t{64} * 1024;

 private:
  // Moves everything the descriptor (on Windows the driver's queue) holds
  // into the input queue. Returns the events it caused; marks the device
  // gone on end of file or EIO (on Windows, a failed read).
  std::uint32_t DrainDescriptor();
#if !defined(_WIN32)
  // EV_ERR when the driver's line-error counters grew since the last look.
  std::uint32_t CheckLineErrors();
#endif
  // Marks the device gone (TakeGoneNotice lets one caller say so).
  void MarkGone();
  // No descriptor state: mask, hang-up and event history cleared, the queue
  // emptied with room for `capacity` bytes (0 when closed).
  void ResetState(std::size_t capacity);
  // Keeps the failure for LastError(); `cause` replaces the one derived from
  // `error` when not empty. Returns false with errno set to error.
  bool Fail(int error, std::string cause = {});

#if defined(_WIN32)
  void* handle_ = nullptr;  // HANDLE, opened for overlapped I/O
  // The DCB Open found; Close puts it back.
  alignas(8) std::array<unsigned char, 64> foundDcb_{};
  // The driver ended an event wait that nobody cancelled: WaitCommEvent
  // waits for arrivals by reading instead, until Close.
  bool eventWaitsCancelled_ = false;
#else
  int fd_ = -1;
#endif
  std::string label_;  // Printable already: "COM3 (/dev/ttyUSB0)"
  std::atomic<std::uint32_t> mask_{0};
  // Set by whichever call first sees the hang-up; the descriptor is never
  // polled again afterwards, so nothing spins on a POLLHUP that never ends.
  std::atomic<bool> gone_{false};
  std::atomic<bool> goneSaid_{false};
  CommError lastError_;
  // Touched only by the thread in WaitCommEvent (and by Close).
  bool goneReported_ = false;
  // Events that happened in the mask and were not reported yet. EV_RXCHAR
  // stays here rather than in the queue: it is filtered by the mask at the
  // time of arrival and shares its precedence rule with EV_ERR.
  std::uint32_t history_ = 0;
#if !defined(_WIN32)
  bool lineCountsSupported_ = true;
  LineErrorCounter lineErrors_;
  LineSettings requested_;
  LineSettings found_;  // the line as Open found it; Close puts it back
#endif
  InputQueue queue_;
};

}  // namespace tevra
