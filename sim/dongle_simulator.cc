#include "sim/dongle_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>

#include "download/protocol.h"
#include "platform/fd_io.h"
#include "platform/ports_directory.h"
#include "platform/unique_fd.h"
#include "sim/attached_line.h"
#include "sim/protocol_parser.h"
#include "sim/pty_link.h"

namespace tevra::sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr auto& kHeaderCommand = protocol::CMD_BLOCK_HEADER;
using protocol::kBlockAck;
using protocol::kEraseAck;
using protocol::kHeaderAck;
using Arrival = ProtocolParser::Arrival;

constexpr milliseconds kBlockSilence{30};
constexpr long long kSilenceCharacters = 3;
constexpr long long kBitsPerByte = 11;  // start, 8 data, parity, stop
constexpr long long kNanosPerSecond = 1'000'000'000;
// The updater frames records by 100 ms of silence; 200 ms keeps a garbage
// burst clear of the answers on both sides even on a loaded machine.
constexpr milliseconds kGarbageGap{200};
constexpr milliseconds kHangupSettle{50};
constexpr milliseconds kHangupPoll{5};
constexpr milliseconds kHangupCap{2000};
// A flood record holds every answer at its offset; 8 of them make one write.
constexpr std::size_t kFloodRecordSize = protocol::kBlockAckOffset + kBlockAck.size();
constexpr std::size_t kFloodRecords = 8;
// A late paced flood catches up without a gap, but a peer that stopped
// reading does not earn a burst of more than this on its return.
constexpr milliseconds kFloodCatchUp{50};
constexpr std::size_t kReadChunk = 4096;
// A virtual machine's adapter socket appears a moment after its QEMU starts.
constexpr milliseconds kConnectWait{10000};

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::generic_category().message(errno);
}

// Replaces path atomically, so a reader (or a kill between blocks) never sees
// a half-written image. rename() replaces a link planted at path instead of
// following it.
bool WriteImageFile(const std::string& path, const std::vector<std::uint8_t>& image,
                    std::string* error) {
  std::string tmpl = path + ".XXXXXX";
  UniqueFd fd(mkostemp(tmpl.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    *error = ErrnoText("create a temporary file beside " + path);
    return false;
  }
  if (fchmod(fd.get(), 0644) != 0 || !WriteAll(fd.get(), image.data(), image.size())) {
    *error = ErrnoText("write " + tmpl);
    unlink(tmpl.c_str());
    return false;
  }
  // A failed close can be the first report of a failed write.
  if (!fd.Close()) {
    *error = ErrnoText("write " + tmpl);
    unlink(tmpl.c_str());
    return false;
  }
  if (rename(tmpl.c_str(), path.c_str()) != 0) {
    *error = ErrnoText("rename " + tmpl + " to " + path);
    unlink(tmpl.c_str());
    return false;
  }
  return true;
}

// Bytes of a garbage burst: never 0x50 or 0xB0, so no burst can hold an
// erase acknowledgement (0x50 at 0), a header acknowledgement (0xB0 at 5) or a
// block acceptance (0x50 at 128).
std::vector<std::uint8_t> MakeGarbage(std::size_t length, std::uint32_t* seed) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(length);
  while (bytes.size() < length) {
    *seed = *seed * 1664525U + 1013904223U;
    const auto b = static_cast<std::uint8_t>(*seed >> 24U);
    if (b != 0x50 && b != 0xB0) {
      bytes.push_back(b);
    }
  }
  return bytes;
}

// Records of a stuck device, back to back: each holds the erase
// acknowledgement, the header acknowledgement and the block acceptance at the
// offsets an updater looks for them, with zeros between.
std::vector<std::uint8_t> MakeFlood() {
  static_assert(protocol::kEraseAckOffset + kEraseAck.size() <= protocol::kHeaderAckOffset &&
                protocol::kHeaderAckOffset + kHeaderAck.size() <= protocol::kBlockAckOffset);
  std::vector<std::uint8_t> bytes(kFloodRecordSize * kFloodRecords, 0);
  for (std::uint8_t* record = bytes.data(); record < bytes.data() + bytes.size();
       record += kFloodRecordSize) {
    std::copy(kEraseAck.begin(), kEraseAck.end(), record + protocol::kEraseAckOffset);
    std::copy(kHeaderAck.begin(), kHeaderAck.end(), record + protocol::kHeaderAckOffset);
    std::copy(kBlockAck.begin(), kBlockAck.end(), record + protocol::kBlockAckOffset);
  }
  return bytes;
}

// Something to put on the line: answer bytes, a garbage burst, the hang-up
// that follows the last acknowledgement, or a stretch of flood.
struct Segment {
  enum class Kind { kAnswer, kGarbage, kHangup, kFlood };
  Kind kind = Kind::kAnswer;
  std::vector<std::uint8_t> bytes;
  std::size_t sent = 0;
  Clock::duration gapBefore{};             // silence required after the line's last byte
  std::optional<Clock::time_point> start;  // fixed once the segment is at the head
};

}  // namespace

struct DongleSimulator::Impl {
  enum class Step { kContinue, kEnd };

  DongleOptions options;
  LogFn log;
  std::unique_ptr<DeviceLine> link;
  UniqueFd stopEvent;
  std::thread thread;
  bool started = false;  // only touched by the owner's calls

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  DongleStats stats;      // guarded by mutex
  std::string slavePath;  // guarded by mutex

  // Everything below belongs to the device thread while it runs.
  Clock::duration silence = kBlockSilence;
  ProtocolParser parser;
  Clock::time_point lastReceived;
  int erasesSeen = 0;
  int blockNumber = 0;
  bool silent = false;
  bool garbageBeforeEraseSent = false;
  std::uint32_t garbageSeed = 0x7E57A5EDU;
  std::vector<std::uint8_t> image;
  std::deque<Segment> out;
  bool lastWasGarbage = false;
  bool wroteAny = false;
  Clock::time_point lineFreeAt;  // when the last byte put on the line has crossed it
  std::optional<Clock::time_point> hangupBegan;
  std::optional<Clock::time_point> hangupEmptySince;

  Impl(DongleOptions o, LogFn l) : options(std::move(o)), log(std::move(l)) {}

  void Log(const std::string& line) const {
    if (log) {
      log(line);
    }
  }

  template <typename Fn>
  void Update(Fn&& fn) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      fn(stats);
    }
    changed.notify_all();
  }

  void SaveImage() {
    if (options.imagePath.empty()) {
      return;
    }
    std::string error;
    if (!WriteImageFile(options.imagePath, image, &error)) {
      Log("image not written: " + error);
    }
    Update([&](DongleStats& s) { s.imageError = error; });
  }

  // ---- what goes out ----

  void Enqueue(Segment::Kind kind, std::vector<std::uint8_t> bytes) {
    Segment seg;
    seg.kind = kind;
    seg.bytes = std::move(bytes);
    const bool garbage = kind == Segment::Kind::kGarbage;
    if (garbage || lastWasGarbage) {
      seg.gapBefore = kGarbageGap;
    }
    lastWasGarbage = garbage;
    out.push_back(std::move(seg));
  }

  void Answer(std::vector<std::uint8_t> bytes) {
    Enqueue(Segment::Kind::kAnswer, std::move(bytes));
  }

  void QueueGarbage() {
    if (options.garbage > 0) {
      Enqueue(Segment::Kind::kGarbage, MakeGarbage(options.garbage, &garbageSeed));
    }
  }

  // The time byte `index` (0-based) of a paced segment has fully crossed the line.
  Clock::time_point DueTime(const Segment& seg, std::size_t index) const {
    const auto bits = static_cast<long long>(index + 1) * kBitsPerByte;
    return *seg.start + nanoseconds(bits * kNanosPerSecond / options.baud);
  }

  std::size_t BytesDue(const Segment& seg, Clock::time_point now) const {
    if (!options.pace || seg.bytes.empty()) {
      return seg.bytes.size();
    }
    if (now < *seg.start) {
      return 0;
    }
    if (now >= DueTime(seg, seg.bytes.size() - 1)) {
      return seg.bytes.size();
    }
    // Below the segment's length, so the product cannot overflow; the loop
    // corrects the rounding so the count agrees with DueTime exactly.
    const long long elapsed = std::chrono::duration_cast<nanoseconds>(now - *seg.start).count();
    auto crossed =
        static_cast<std::size_t>(elapsed * options.baud / (kBitsPerByte * kNanosPerSecond));
    while (crossed < seg.bytes.size() && DueTime(seg, crossed) <= now) {
      ++crossed;
    }
    return crossed;
  }

  struct PumpResult {
    std::optional<Clock::time_point> wakeAt;
    bool wantWrite = false;
    Step step = Step::kContinue;
  };

  // Puts due bytes on the line; says when it next has something to do.
  PumpResult Pump() {
    PumpResult r;
    while (!out.empty()) {
      Segment& seg = out.front();
      const Clock::time_point now = Clock::now();
      if (seg.kind == Segment::Kind::kHangup) {
        return HangupStep(now);
      }
      if (!seg.start && seg.kind == Segment::Kind::kFlood) {
        // Continues the line's schedule, so a late thread leaves no gap.
        seg.start = wroteAny ? std::max<Clock::time_point>(lineFreeAt, now - kFloodCatchUp) : now;
      } else if (!seg.start) {
        seg.start = wroteAny ? std::max(now, lineFreeAt + seg.gapBefore) : now;
      }
      if (now < *seg.start) {
        r.wakeAt = *seg.start;
        return r;
      }
      const std::size_t due = BytesDue(seg, now);
      if (seg.sent < due) {
        const ssize_t n = write(link->fd(), seg.bytes.data() + seg.sent, due - seg.sent);
        if (n > 0) {
          seg.sent += static_cast<std::size_t>(n);
          continue;
        }
        if (n < 0 && errno == EINTR) {
          continue;
        }
        if (n == 0 || errno == EAGAIN) {
          // The other side is not reading; wait for room, keep reading.
          r.wantWrite = true;
          return r;
        }
        Log(ErrnoText("line write failed"));
        r.step = Step::kEnd;
        return r;
      }
      if (seg.sent < seg.bytes.size()) {
        r.wakeAt = DueTime(seg, seg.sent);
        return r;
      }
      wroteAny = true;
      lineFreeAt = options.pace && !seg.bytes.empty() ? DueTime(seg, seg.bytes.size() - 1) : now;
      if (seg.kind == Segment::Kind::kGarbage) {
        Log("garbage " + std::to_string(seg.bytes.size()) + " bytes");
        Update([](DongleStats& s) { ++s.garbageBursts; });
      } else if (seg.kind == Segment::Kind::kFlood) {
        Update([n = seg.bytes.size()](DongleStats& s) { s.floodBytes += n; });
      }
      out.pop_front();
    }
    return r;
  }

  PumpResult HangupStep(Clock::time_point now) {
    PumpResult r;
    if (!hangupBegan) {
      hangupBegan = now;
    }
    if (link->UnreadByPeer() != 0) {
      hangupEmptySince.reset();
    } else if (!hangupEmptySince) {
      hangupEmptySince = now;
    }
    const bool drained = hangupEmptySince && now - *hangupEmptySince >= kHangupSettle;
    if (!drained && now - *hangupBegan < kHangupCap) {
      r.wakeAt = now + kHangupPoll;
      return r;
    }
    Log("hang-up");
    link->Close();
    out.clear();
    Update([](DongleStats& s) { s.hungUp = true; });
    r.step = Step::kEnd;
    return r;
  }

  // ---- what comes in ----

  void OnUnknown(std::size_t n) {
    Log("skipped " + std::to_string(n) + " unknown bytes");
    Update([n](DongleStats& s) { s.unknownBytes += n; });
  }

  void OnErase() {
    ++erasesSeen;
    if (erasesSeen <= options.ignoreErase) {
      Log("erase ignored");
      Update([](DongleStats& s) { ++s.erases; });
      return;
    }
    if (silent) {
      Log("erase (not answered)");
      Update([](DongleStats& s) { ++s.erases; });
      return;
    }
    Log("erase");
    if (!garbageBeforeEraseSent) {
      garbageBeforeEraseSent = true;
      QueueGarbage();
    }
    Answer({kEraseAck.begin(), kEraseAck.end()});
    image.clear();
    blockNumber = 0;
    SaveImage();
    Update([](DongleStats& s) {
      ++s.erases;
      ++s.erasesAnswered;
      s.image.clear();
      s.blocksSinceErase = 0;
    });
  }

  void OnHeader() {
    Log(silent ? "header (not answered)" : "header");
    if (!silent) {
      std::vector<std::uint8_t> answer(kHeaderCommand.begin(), kHeaderCommand.end());
      answer.insert(answer.end(), kHeaderAck.begin(), kHeaderAck.end());
      Answer(std::move(answer));
    }
    Update([](DongleStats& s) { ++s.headers; });
  }

  void OnBlock(const std::vector<std::uint8_t>& block) {
    ++blockNumber;
    const int n = blockNumber;
    const bool dropped = !silent && n == options.dropBlock;
    Log("block " + std::to_string(n) + " " + std::to_string(block.size()) + " bytes" +
        (silent    ? " (not answered)"
         : dropped ? " (not accepted)"
                   : ""));
    const bool answered = !silent;
    if (answered) {
      std::vector<std::uint8_t> answer(block);
      if (!dropped) {
        answer.insert(answer.end(), kBlockAck.begin(), kBlockAck.end());
      }
      Answer(std::move(answer));
      image.insert(image.end(), block.begin(), block.end());
      if (!dropped && n == options.hangupAfterBlock) {
        Enqueue(Segment::Kind::kHangup, {});
      } else if (dropped || n == options.stopAfterBlock) {
        silent = true;
        Log("silent from now on");
      } else if (options.garbageEveryBlocks > 0 && n % options.garbageEveryBlocks == 0) {
        QueueGarbage();
      }
      SaveImage();
    }
    const bool nowSilent = silent;
    Update([&](DongleStats& s) {
      ++s.blocks;
      s.blockLengths.push_back(block.size());
      if (answered) {
        s.image = image;
        s.blocksSinceErase = n;
      }
      s.silent = nowSilent;
    });
  }

  void Dispatch(const Arrival& a) {
    switch (a.kind) {
      case Arrival::Kind::kErase:
        OnErase();
        break;
      case Arrival::Kind::kHeader:
        OnHeader();
        break;
      case Arrival::Kind::kBlock:
        OnBlock(a.block);
        break;
      case Arrival::Kind::kUnknown:
        OnUnknown(a.unknownBytes);
        break;
    }
  }

  // Reads what is waiting; kEnd once the line is gone.
  Step ReadLine() {
    std::array<std::uint8_t, kReadChunk> buf{};
    for (;;) {
      const ssize_t n = read(link->fd(), buf.data(), buf.size());
      if (n > 0 && options.flood) {
        // A stuck device takes no command; the bytes only leave the line.
        Log("ignored " + std::to_string(n) + " bytes");
        Update([n](DongleStats& s) { s.unknownBytes += static_cast<std::size_t>(n); });
        continue;
      }
      if (n > 0) {
        lastReceived = Clock::now();
        for (const Arrival& a : parser.Feed(std::span(buf.data(), static_cast<std::size_t>(n)))) {
          Dispatch(a);
        }
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0 && errno == EAGAIN) {
        return Step::kContinue;
      }
      Log(n == 0 ? std::string("line closed") : ErrnoText("line read failed"));
      return Step::kEnd;
    }
  }

  void Run() {
    for (;;) {
      if (parser.Holding() && Clock::now() - lastReceived >= silence) {
        if (const std::optional<Arrival> a = parser.Silence()) {
          Dispatch(*a);
        }
      }
      if (options.flood && out.empty()) {
        if (!wroteAny) {
          Log("flooding");
        }
        Enqueue(Segment::Kind::kFlood, MakeFlood());
      }
      const PumpResult pump = Pump();
      if (pump.step == Step::kEnd) {
        return;
      }
      std::optional<Clock::time_point> wakeAt = pump.wakeAt;
      if (options.flood && out.empty()) {
        wakeAt = Clock::now();  // the next stretch follows at once
      }
      if (parser.Holding()) {
        const Clock::time_point quietAt = lastReceived + silence;
        wakeAt = wakeAt ? std::min(*wakeAt, quietAt) : quietAt;
      }
      std::array<pollfd, 2> fds{};
      fds[0] = {stopEvent.get(), POLLIN, 0};
      fds[1] = {link->fd(), static_cast<short>(POLLIN | (pump.wantWrite ? POLLOUT : 0)), 0};
      timespec ts{};
      timespec* timeout = nullptr;
      if (wakeAt) {
        const auto left = std::max(nanoseconds(0),
                                   std::chrono::duration_cast<nanoseconds>(*wakeAt - Clock::now()));
        ts.tv_sec = static_cast<time_t>(left.count() / kNanosPerSecond);
        ts.tv_nsec = static_cast<long>(left.count() % kNanosPerSecond);
        timeout = &ts;
      }
      const int r = ppoll(fds.data(), fds.size(), timeout, nullptr);
      if (r < 0) {
        if (errno == EINTR) {
          continue;
        }
        Log(ErrnoText("poll failed"));
        return;
      }
      if (fds[0].revents != 0) {
        return;
      }
      if ((fds[1].revents & POLLIN) != 0) {
        if (ReadLine() == Step::kEnd) {
          return;
        }
      } else if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        // Only reachable when the line is gone; polling on would spin.
        Log("line gone");
        return;
      }
    }
  }
};

DongleSimulator::DongleSimulator(DongleOptions options, LogFn log)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(log))) {}

DongleSimulator::~DongleSimulator() {
  Stop();
}

bool DongleSimulator::Start(std::string* error) {
  std::string scratch;
  std::string& why = error != nullptr ? *error : scratch;
  Impl& d = *impl_;
  const DongleOptions& o = d.options;
  if (d.started) {
    // The device's state (download, faults already fired) belongs to one run.
    why = "a simulator starts only once";
    return false;
  }
  if (!o.socketPath.empty() && !o.ttyPath.empty()) {
    why = "a device sits on one line: a socket or a tty, not both";
    return false;
  }
  const bool published = o.socketPath.empty() && o.ttyPath.empty();
  if (published && o.port <= 0) {
    why = "the port number must be 1 or more";
    return false;
  }
  if (o.flood && o.AnswerFault()) {
    why = "a flooding device answers nothing, so it takes no other fault";
    return false;
  }
  if (o.pace && o.baud == 0) {
    why = "a paced line needs a rate above 0";
    return false;
  }
  if (o.pace) {
    const nanoseconds byteTime(kBitsPerByte * kNanosPerSecond / o.baud);
    d.silence = std::max<Clock::duration>(kBlockSilence, byteTime * kSilenceCharacters);
  }
  d.stopEvent = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (d.stopEvent.get() < 0) {
    why = ErrnoText("eventfd");
    return false;
  }
  if (!o.socketPath.empty()) {
    d.link = AttachedLine::ConnectSocket(o.socketPath, kConnectWait, &why);
  } else if (!o.ttyPath.empty()) {
    d.link = AttachedLine::OpenTty(o.ttyPath, &why);
  } else {
    auto pty = std::make_unique<PtyLink>();
    if (pty->Open(o.port, o.portsDir.empty() ? PortsDirectory() : o.portsDir, &why)) {
      d.link = std::move(pty);
    }
  }
  if (!d.link) {
    d.stopEvent = UniqueFd();
    return false;
  }
  {
    const std::lock_guard<std::mutex> lock(d.mutex);
    d.slavePath = d.link->Name();
  }
  try {
    d.thread = std::thread([&d] { d.Run(); });
    d.started = true;
  } catch (const std::system_error& e) {
    why = std::string("cannot start the simulator's thread: ") + e.what();
    d.link->Close();
    d.stopEvent = UniqueFd();
    return false;
  }
  return true;
}

void DongleSimulator::Stop() {
  Impl& d = *impl_;
  if (!d.thread.joinable()) {
    return;
  }
  const std::uint64_t one = 1;
  // An eventfd write only fails on counter overflow, which one write cannot reach.
  const ssize_t n = write(d.stopEvent.get(), &one, sizeof one);
  (void)n;
  d.thread.join();
  d.link->Close();
  d.stopEvent = UniqueFd();
  d.SaveImage();
}

DongleStats DongleSimulator::Stats() const {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->stats;
}

bool DongleSimulator::WaitUntil(const std::function<bool(const DongleStats&)>& pred,
                                std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return pred(impl_->stats); });
}

std::string DongleSimulator::SlavePath() const {
  const std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->slavePath;
}

}  // namespace tevra::sim
