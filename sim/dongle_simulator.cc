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
#include "sim/paced_output.h"
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
using Kind = PacedOutput::Kind;

constexpr milliseconds kBlockSilence{30};
constexpr long long kSilenceCharacters = 3;
constexpr long long kNanosPerSecond = 1'000'000'000;
// A flood record holds every answer at its offset; 8 of them make one write.
constexpr std::size_t kFloodRecordSize = protocol::kBlockAckOffset + kBlockAck.size();
constexpr std::size_t kFloodRecords = 8;
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
  std::optional<PacedOutput> output;  // made by Start, before the thread

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

  void Answer(std::vector<std::uint8_t> bytes) {
    if (options.answerPauseMs > 0 && bytes.size() > 1) {
      std::vector<std::uint8_t> last(bytes.end() - 1, bytes.end());
      bytes.pop_back();
      output->Push(Kind::kPlain, std::move(bytes));
      output->Push(Kind::kPlain, std::move(last), milliseconds(options.answerPauseMs));
      return;
    }
    output->Push(Kind::kPlain, std::move(bytes));
  }

  void QueueGarbage() {
    if (options.garbage > 0) {
      output->Push(Kind::kApart, MakeGarbage(options.garbage, &garbageSeed));
    }
  }

  void OnSent(Kind kind, std::size_t n) {
    if (kind == Kind::kApart) {
      Log("garbage " + std::to_string(n) + " bytes");
      Update([](DongleStats& s) { ++s.garbageBursts; });
    } else if (kind == Kind::kStream) {
      Update([n](DongleStats& s) { s.floodBytes += n; });
    }
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
        output->Push(Kind::kHangUp);
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
    if (options.flood) {
      Log("flooding");
      output->Stream(MakeFlood());
    }
    for (;;) {
      if (parser.Holding() && Clock::now() - lastReceived >= silence) {
        if (const std::optional<Arrival> a = parser.Silence()) {
          Dispatch(*a);
        }
      }
      const PacedOutput::Next pump = output->Pump();
      if (pump.step == PacedOutput::Next::Step::kHangUp) {
        Log("hang-up");
        link->Close();
        Update([](DongleStats& s) { s.hungUp = true; });
        return;
      }
      if (pump.step == PacedOutput::Next::Step::kFailed) {
        Log("line write failed: " + std::generic_category().message(pump.error));
        return;
      }
      std::optional<Clock::time_point> wakeAt = pump.wakeAt;
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
    d.silence = std::max<Clock::duration>(kBlockSilence,
                                          PacedOutput::CharacterTime(o.baud) * kSilenceCharacters);
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
  d.output.emplace(*d.link, o.pace ? std::optional(o.baud) : std::nullopt,
                   [&d](Kind kind, std::size_t n) { d.OnSent(kind, n); });
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
