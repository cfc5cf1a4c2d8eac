#include "cli/console_writer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <utility>

#include "cli/console_stream.h"

namespace tevra {
namespace {

// Writes are this small at most, so Flush sees a slow reader progress.
constexpr std::size_t kChunk = 4096;

std::string CursorUp(std::size_t lines) {
  return "\x1b[" + std::to_string(lines) + "A";
}

}  // namespace

struct ConsoleWriter::State {
  struct Item {
    Stream stream;
    std::string text;
  };

  std::array<std::unique_ptr<ConsoleStream>, 2> streams;
  // The pump's own (one pump at a time: the thread, or the caller under
  // pumpMutex): the live rows on the screen.
  std::size_t drawn = 0;
  std::mutex pumpMutex;

  std::mutex frameMutex;
  Frame frame;

  std::mutex mutex;
  std::condition_variable wake;  // for the thread: work, or stop
  std::condition_variable idle;  // for Flush: a batch was written
  std::deque<Item> queue;
  std::size_t queuedBytes = 0;
  std::size_t dropped = 0;
  bool redraw = false;
  bool busy = false;  // a batch is being written
  bool stopping = false;
  std::atomic<std::uint64_t> written{0};

  struct Batch {
    std::deque<Item> items;
    std::size_t dropped = 0;
    bool redraw = false;
  };

  bool HasWork() const { return !queue.empty() || dropped != 0 || redraw; }

  // With mutex held.
  Batch Take() {
    busy = true;
    queuedBytes = 0;
    return {std::exchange(queue, {}), std::exchange(dropped, 0), std::exchange(redraw, false)};
  }

  void Put(Stream stream, const std::string& text) {
    ConsoleStream& out = *streams.at(static_cast<std::size_t>(stream));
    for (std::size_t done = 0; done < text.size();) {
      std::size_t end = std::min(done + kChunk, text.size());
      // Never inside a UTF-8 sequence: a console takes whole characters.
      while (end < text.size() && end > done + 1 &&
             (static_cast<unsigned char>(text[end]) & 0xC0U) == 0x80U) {
        --end;
      }
      if (!out.Write(std::string_view(text).substr(done, end - done))) {
        return;  // the reader or the terminal is gone
      }
      written += end - done;
      done = end;
    }
  }

  void Erase() {
    if (drawn > 0) {
      Put(Stream::kOut, CursorUp(drawn) + "\r\x1b[J");
      drawn = 0;
    }
  }

  void Draw() {
    std::vector<std::string> lines;
    {
      const std::lock_guard lock(frameMutex);
      if (!frame) {
        return;
      }
      lines = frame();
    }
    std::string screen = drawn > 0 ? CursorUp(drawn) : std::string();
    for (const std::string& line : lines) {
      screen += "\r\x1b[2K" + line + "\n";
    }
    screen += "\x1b[J";  // rows that are gone
    drawn = lines.size();
    Put(Stream::kOut, screen);
  }

  void Write(const Batch& batch) {
    const bool lines = !batch.items.empty() || batch.dropped != 0;
    if (lines) {
      Erase();
    }
    for (const Item& item : batch.items) {
      Put(item.stream, item.text);
    }
    if (batch.dropped != 0) {
      Put(Stream::kErr, "tevra-updater: " + std::to_string(batch.dropped) +
                            " lines not shown: the output fell behind\n");
    }
    if (lines || batch.redraw) {
      Draw();
    }
    {
      const std::lock_guard lock(mutex);
      busy = false;
    }
    idle.notify_all();
  }
};

ConsoleWriter::ConsoleWriter(int out, int err, Frame frame) : state_(std::make_shared<State>()) {
  State& s = *state_;
  s.frame = std::move(frame);
  s.streams.at(static_cast<std::size_t>(Stream::kOut)) = std::make_unique<ConsoleStream>(out);
  s.streams.at(static_cast<std::size_t>(Stream::kErr)) = std::make_unique<ConsoleStream>(err);
  const AllSignalsBlocked noSignals;  // for the thread
  try {
    thread_ = std::thread([state = state_] { Run(state); });
  } catch (const std::system_error&) {
    // No thread: Write and RequestRedraw write in the caller.
  }
}

ConsoleWriter::~ConsoleWriter() {
  State& s = *state_;
  bool idle = false;
  {
    const std::lock_guard lock(s.mutex);
    s.stopping = true;
    idle = !s.busy;
  }
  s.wake.notify_all();
  {
    const std::lock_guard lock(s.frameMutex);  // a frame being drawn ends first
    s.frame = nullptr;
  }
  if (!thread_.joinable()) {
    return;
  }
  if (idle) {
    thread_.join();  // takes no batch once stopping
  } else {
    thread_.detach();  // blocked in a write; it holds the state it uses
  }
}

void ConsoleWriter::Run(const std::shared_ptr<State>& state) {
  State& s = *state;
  for (;;) {
    State::Batch batch;
    {
      std::unique_lock lock(s.mutex);
      s.wake.wait(lock, [&s] { return s.stopping || s.HasWork(); });
      if (s.stopping) {
        return;
      }
      batch = s.Take();
    }
    s.Write(batch);
  }
}

void ConsoleWriter::Pump(State& s) {
  const std::lock_guard pump(s.pumpMutex);
  State::Batch batch;
  {
    const std::lock_guard lock(s.mutex);
    if (!s.HasWork()) {
      return;
    }
    batch = s.Take();
  }
  s.Write(batch);
}

void ConsoleWriter::Write(Stream stream, std::string text, Keep keep) {
  State& s = *state_;
  {
    const std::lock_guard lock(s.mutex);
    if (s.stopping) {
      return;
    }
    const std::size_t queued = s.queuedBytes + text.size();
    if (keep == Keep::kIfCurrent && queued > kBehindBytes) {
      return;
    }
    if (keep == Keep::kUnlessFlooded && queued > kMaxQueuedBytes) {
      ++s.dropped;
      return;
    }
    s.queuedBytes += text.size();
    s.queue.push_back({stream, std::move(text)});
  }
  if (thread_.joinable()) {
    s.wake.notify_one();
  } else {
    Pump(s);
  }
}

void ConsoleWriter::RequestRedraw() {
  State& s = *state_;
  {
    const std::lock_guard lock(s.mutex);
    if (s.stopping) {
      return;
    }
    s.redraw = true;
  }
  if (thread_.joinable()) {
    s.wake.notify_one();
  } else {
    Pump(s);
  }
}

bool ConsoleWriter::Flush(std::chrono::milliseconds stall) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  std::uint64_t seen = s.written;
  while (s.busy || s.HasWork()) {
    if (s.idle.wait_for(lock, stall) == std::cv_status::timeout) {
      if (s.written == seen) {
        return false;
      }
      seen = s.written;
    }
  }
  return true;
}

}  // namespace tevra
