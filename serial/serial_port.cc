#include "serial/serial_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>

#include "platform/diagnostics.h"
#include "platform/port_path.h"
#include "platform/wait.h"
#include "serial/buffer_channel.h"
#include "serial/comm_event_thread.h"
#include "serial/quiet_gap_thread.h"
#include "serial/reader_thread.h"
#include "serial/writer_thread.h"

namespace tevra {
namespace {

// After the workers end, the device keeps its handle a moment longer.
constexpr std::chrono::milliseconds kCloseSettle{100};
// PurgeInput's private buffer.
constexpr std::uint32_t kPurgeChunk = 4096;

StopBits StopBitsCode(std::uint8_t stopBits) {
  switch (stopBits) {
    case 1:
      return StopBits::kOne;
    case 2:
      return StopBits::kTwo;
    default:
      return StopBits::kOneAndAHalf;
  }
}

}  // namespace

SerialPort::SerialPort() : SerialPort(RxChannel, TxChannel) {}

SerialPort::SerialPort(BufferChannel& rx, BufferChannel& tx) : m_rx(rx), m_tx(tx) {}

SerialPort::~SerialPort() {
  Close();
}

bool SerialPort::Open(NotifyTarget* notifyWnd, std::uint32_t notifyMsg, std::uint8_t portNumber,
                      std::uint32_t baudRate, std::uint8_t byteSize, Parity parity,
                      std::uint8_t stopBits) {
  // "COM%d" for every number, 0 included: the resolver refuses COM0 itself.
  return Open(notifyWnd, notifyMsg, "COM" + std::to_string(static_cast<int>(portNumber)), baudRate,
              byteSize, parity, stopBits);
}

bool SerialPort::Open(NotifyTarget* notifyWnd, std::uint32_t notifyMsg, const std::string& portName,
                      std::uint32_t baudRate, std::uint8_t byteSize, Parity parity,
                      std::uint8_t stopBits, const std::string& label) {
  if (m_isOpen) {
    return true;
  }
  if (!EventsValid()) {
    errno = EBADF;
    return false;
  }
  m_hNotifyWnd = notifyWnd;
  m_notifyMsg = notifyMsg;

  const PortPath port = ResolvePortName(portName);
  if (port.path.empty()) {
    Diagnose(Printable(portName) + ": " + port.cause);
    errno = ENOENT;
    return false;
  }
  const std::string& shown = !label.empty() ? label : port.shown;
  if (!m_hComm.Open(port.path.c_str(), shown)) {
    const int error = errno;
    Diagnose(Printable(shown) + ": " + m_hComm.LastError().cause);
    errno = error;
    return false;
  }
  if (!Configure(baudRate, byteSize, parity, stopBits)) {
    CloseDevice();
    return false;
  }
  // A Send while closed signalled the writer; those records belong to the
  // purge at start-up, not to a writer that happens to start first.
  evTxQueued.Reset();
  m_handshake = std::promise<void>();
  std::future<void> handshake = m_handshake.get_future();
  if (!StartWorkers()) {
    CloseDevice();
    return false;
  }
  if (!evStartReader.Set()) {
    const int saved = errno;
    AbortWorkers();
    CloseDevice();
    errno = saved;
    return false;
  }
  handshake.wait();
  m_isOpen = true;
  return true;
}

bool SerialPort::Configure(std::uint32_t baudRate, std::uint8_t byteSize, Parity parity,
                           std::uint8_t stopBits) {
  if (!m_hComm.SetCommMask(EV_RXCHAR | EV_ERR)) {
    return false;
  }
  CommState state{};
  if (!m_hComm.GetCommState(state)) {
    return false;
  }
  state.BaudRate = baudRate;
  state.ByteSize = byteSize;
  state.Parity = parity;
  state.StopBits = StopBitsCode(stopBits);
  if (!m_hComm.SetCommState(state)) {
    const int error = errno;
    Diagnose(m_hComm.Label() + ": " + m_hComm.LastError().cause);
    errno = error;
    return false;
  }
  // Start, data, parity and stop bits; one and a half counts as two.
  const unsigned bits =
      1U + byteSize + (parity != Parity::kNone ? 1U : 0U) + (stopBits == 1 ? 1U : 2U);
  m_quietGap = m_quietGapWanted && baudRate != 0
                   ? std::max(*m_quietGapWanted, MinQuietGap(baudRate, bits))
                   : QuietGapFor(baudRate, bits);
  CommTimeouts timeouts{};
  timeouts.ReadIntervalTimeout = kReadReturnAtOnce;
  return m_hComm.SetCommTimeouts(timeouts);
}

bool SerialPort::StartWorkers() {
  using Worker = void (*)(SerialPort&);
  static constexpr std::array<Worker, kWorkerCount> kWorkers = {CommEventThread, QuietGapThread,
                                                                ReaderThread, WriterThread};
  try {
    for (std::size_t i = 0; i < kWorkerCount; ++i) {
      m_workers.at(i) = std::jthread(kWorkers.at(i), std::ref(*this));
    }
  } catch (const std::system_error& e) {
    AbortWorkers();
    errno = e.code().value();
    return false;
  }
  return true;
}

void SerialPort::AbortWorkers() {
  // Every worker lists its stop first, also in its start wait, so each one
  // that runs ends even though the start chain never reached it.
  evStopComm.Set();
  evStopGap.Set();
  evStopReader.Set();
  evStopWriter.Set();
  JoinWorkers();
  ResetEvents();
}

void SerialPort::JoinWorkers() {
  for (std::jthread& worker : m_workers) {
    if (worker.joinable()) {
      worker.join();
    }
  }
}

bool SerialPort::Close() {
  if (!m_isOpen) {
    return true;
  }
  m_isOpen = false;
  evStopComm.Set();
  evStopWriter.Set();
  static_cast<void>(WaitAll({&evCommDone, &evGapDone, &evReaderDone, &evWriterDone}, kInfinite));
  std::this_thread::sleep_for(kCloseSettle);
  // Each worker's last act was its done event, so these joins are immediate
  // and no thread is inside a device call when the device closes.
  JoinWorkers();
  CloseDevice();
  ResetEvents();
  return true;
}

void SerialPort::CloseDevice() {
  const int saved = errno;
  m_hComm.Close();
  errno = saved;
}

bool SerialPort::Send(const void* data, std::uint32_t len) {
  if (len > SerialBuffer::kMaxLength) {
    errno = EINVAL;
    return false;
  }
  // Counted before the record can reach the line, so no answer to it can
  // be dated before it.
  m_sendCount.fetch_add(1);
  if (!m_tx.Put(data, len)) {
    errno = EINVAL;
    return false;
  }
  evTxQueued.Set();
  return true;
}

bool SerialPort::Receive(void* dst, std::uint32_t& size, RecordOrigin* origin) {
  return m_rx.Get(dst, size, origin);
}

void SerialPort::PurgeInput() {
  std::uint32_t errors = 0;
  std::uint32_t waiting = 0;
  if (!m_hComm.ClearCommError(&errors, &waiting)) {
    return;
  }
  std::array<std::uint8_t, kPurgeChunk> scratch{};
  while (waiting != 0) {
    std::uint32_t got = 0;
    if (!m_hComm.ReadFile(scratch.data(), std::min(waiting, kPurgeChunk), got) || got == 0) {
      break;
    }
    waiting -= std::min(got, waiting);
  }
  m_rx.Reset();
  m_tx.Reset();
  m_readySends.store(kNoBurst);
  m_burstOpen.store(false);
}

bool SerialPort::IsOpen() const {
  return m_isOpen;
}

bool SerialPort::EventsValid() const {
  for (const Event* e : {&evStartReader, &evStartGap, &evStartComm, &evStopComm, &evStopGap,
                         &evStopReader, &evCommDone, &evGapDone, &evReaderDone, &evDataReady,
                         &evRxChar, &evStopWriter, &evWriterDone, &evTxQueued}) {
    if (!e->valid()) {
      return false;
    }
  }
  return true;
}

void SerialPort::ResetEvents() {
  for (Event* e : {&evStartReader, &evStartGap, &evStartComm, &evStopComm, &evStopGap,
                   &evStopReader, &evCommDone, &evGapDone, &evReaderDone, &evDataReady, &evRxChar,
                   &evStopWriter, &evWriterDone, &evTxQueued}) {
    e->Reset();
  }
}

void SerialPort::Notify(SerialNotice notice, std::intptr_t lParam) const {
  if (m_hNotifyWnd != nullptr) {
    // A notification the target cannot queue is lost to it alone: the
    // record stays in the receive channel for the next Receive.
    static_cast<void>(m_hNotifyWnd->Post(m_notifyMsg, ToWParam(notice), lParam));
  }
}

void SerialPort::HandshakeDone() {
  m_handshake.set_value();
}

}  // namespace tevra
