#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "platform/comm_device.h"
#include "platform/event.h"
#include "serial/buffer_channel.h"
#include "serial/notify_target.h"

namespace tevra {

// Window message the workers post; its wParam is a SerialNotice.
inline constexpr std::uint32_t kWmUser = 0x0400;
inline constexpr std::uint32_t WM_SERIAL_NOTIFY = kWmUser + 1;

// What the workers tell their owner; the number is the message's wParam.
enum class SerialNotice : std::uintptr_t {
  kReceived = 0,        // a record was appended to the receive channel
  kWriteCompleted = 1,  // a write that had gone pending completed; lParam is the
                        // record's data address, never to be dereferenced
  kLineGone = 2,        // the line hung up: the device is gone (posted once)
  kWriteFailed = 3,     // a write failed on a line still there; lParam is the errno
};
constexpr std::uintptr_t ToWParam(SerialNotice notice) {
  return static_cast<std::uintptr_t>(notice);
}
constexpr SerialNotice NoticeOf(std::uintptr_t wParam) {
  return static_cast<SerialNotice>(wParam);
}

// One serial device and the four workers that run while it is open.
// Open, Close and the destructor are called from the window's thread only.
// Send and Receive are called from the window's thread.
class SerialPort {
 public:
  // Records travel through the process-wide RxChannel and TxChannel.
  SerialPort();
  // Records travel through the port's own pair, so that several ports in one
  // process never mix their data; both must outlive the port.
  SerialPort(BufferChannel& rx, BufferChannel& tx);
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  virtual ~SerialPort();

  // portNumber: "COM%d" mapped through the ports directory; 0 never opens.
  // stopBits: 1 one stop bit, 2 two, anything else one and a half (an
  // 8-bit code of its own, unlike StopBits).
  // Returns true at once, ignoring the arguments, when already open.
  // notifyWnd may be null: nothing is posted then. Returns once the workers
  // have started and purged the input, so a Send right after is kept.
  bool Open(NotifyTarget* notifyWnd, std::uint32_t notifyMsg, std::uint8_t portNumber,
            std::uint32_t baudRate, std::uint8_t byteSize, Parity parity, std::uint8_t stopBits);
  // The same for a port named "COMn" or by an absolute device path; lines
  // about the port name it by `label` when given ("COM3 (/dev/ttyUSB0)").
  bool Open(NotifyTarget* notifyWnd, std::uint32_t notifyMsg, const std::string& portName,
            std::uint32_t baudRate, std::uint8_t byteSize, Parity parity, std::uint8_t stopBits,
            const std::string& label = {});
  // Stops the four workers and closes the device; always true.
  bool Close();
  // Queues len (<= 1023) bytes on the transmit channel and wakes the writer;
  // never blocks.
  // False, queuing nothing, for a longer len: a record cannot hold it.
  bool Send(const void* data, std::uint32_t len);
  // Takes the oldest received record; size is in/out (capacity, then count).
  // origin, when given, says how the record was framed.
  bool Receive(void* dst, std::uint32_t& size, RecordOrigin* origin = nullptr);
  // Records queued by Send since the port was constructed; a record whose
  // origin.sendsBefore is at least the count right after a Send began
  // arriving after that Send.
  std::uint64_t SendCount() const { return m_sendCount.load(); }
  // When the last byte arrived from the line; the epoch when none has.
  std::chrono::steady_clock::time_point LastReceived() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(m_lastReceived.load()));
  }
  // Discards what the device holds and empties both channels.
  void PurgeInput();
  // The silence that ends a received burst from the next Open on; never
  // below MinQuietGap for the line. Unset: QuietGapFor the line.
  void SetQuietGap(std::optional<std::chrono::milliseconds> gap) { m_quietGapWanted = gap; }
  // The silence that ends a burst on the line as opened.
  std::chrono::milliseconds QuietGap() const { return m_quietGap; }

  bool IsOpen() const;
  // Why the last Open failed at the device (its line is said already); no
  // cause when the name led nowhere.
  const CommError& LastError() const { return m_hComm.LastError(); }

 private:
  friend void CommEventThread(SerialPort& port);
  friend void QuietGapThread(SerialPort& port);
  friend void ReaderThread(SerialPort& port);
  friend void WriterThread(SerialPort& port);
  friend class SerialPortTestPeer;

  static constexpr std::size_t kWorkerCount = 4;

  bool Configure(std::uint32_t baudRate, std::uint8_t byteSize, Parity parity,
                 std::uint8_t stopBits);
  bool StartWorkers();
  // Stops whatever workers run without the done-event handshake; only for a
  // failed Open, where some workers may never have run.
  void AbortWorkers();
  void JoinWorkers();
  bool EventsValid() const;
  void ResetEvents();
  void CloseDevice();
  // Posts WM_SERIAL_NOTIFY to the target given at Open; never blocks.
  void Notify(SerialNotice notice, std::intptr_t lParam) const;
  // Called by CommEventThread once it has purged the input at its start; Open
  // waits for it.
  void HandshakeDone();

  bool m_isOpen = false;
  CommDevice m_hComm;
  BufferChannel& m_rx;
  BufferChannel& m_tx;

  // Created in this order, non-signalled; every Close resets all of them.
  Event evStartReader;
  Event evStartGap;
  Event evStartComm;
  Event evStopComm;
  Event evStopGap;
  Event evStopReader;
  Event evCommDone;
  Event evGapDone;
  Event evReaderDone;
  Event evDataReady;
  Event evRxChar;
  Event evStopWriter;
  Event evWriterDone;
  Event evTxQueued;

  // Written by Open before the workers start, read-only while they run.
  NotifyTarget* m_hNotifyWnd = nullptr;
  std::uint32_t m_notifyMsg = 0;
  // The silence that ends a received burst at the line's rate.
  std::chrono::milliseconds m_quietGap{};
  std::optional<std::chrono::milliseconds> m_quietGapWanted;

  std::atomic<std::uint64_t> m_sendCount{0};
  // steady_clock ticks of the last arrival, set by CommEventThread.
  std::atomic<std::chrono::steady_clock::rep> m_lastReceived{0};
  // SendCount when the burst being framed began (taken by CommEventThread
  // as the burst's first bytes arrive, before it dates them), and when the
  // earliest burst not yet read began (kNoBurst when none): the reader takes
  // it with the bytes, so a record is never dated later than its first byte
  // even when the reader falls behind.
  static constexpr std::uint64_t kNoBurst = ~std::uint64_t{0};
  std::atomic<bool> m_burstOpen{false};
  std::atomic<std::uint64_t> m_burstSends{0};
  std::atomic<std::uint64_t> m_readySends{kNoBurst};
  std::atomic<bool> m_inputOverflowed{false};

  // Lets Open return only after the start-up purge, so nothing sent after
  // Open returns can be swept away by it.
  std::promise<void> m_handshake;

  // Declared last: destroyed (and joined) before the events they use.
  std::array<std::jthread, kWorkerCount> m_workers;
};

}  // namespace tevra
