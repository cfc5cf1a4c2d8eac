#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tevra {

// Writes a console's output on a thread of its own, so that a terminal
// paused with Ctrl-S or a pipe read slowly (or not at all) never stalls the
// callers: they only queue. Everything is written in the order queued; what
// is dropped when the output falls behind depends on its Keep.
//
// Live (with a frame): the writer keeps the rows that frame() returns at the
// bottom of the terminal, erased before lines are written and drawn again
// after them and on RequestRedraw. Requests made while the terminal is
// behind collapse into one, which draws the state of that moment.
//
// Every member may be called from any thread.
class ConsoleWriter {
 public:
  enum class Stream { kOut, kErr };
  enum class Keep {
    kIfCurrent,      // progress: skipped once more than kBehindBytes wait
    kUnlessFlooded,  // an event, a cause: dropped only past kMaxQueuedBytes,
                     // and how many is said once the output takes again
    kAlways,         // a port's closing line
  };
  // The live rows, each short enough not to wrap; called on the writer's
  // thread, never with the writer's lock held.
  using Frame = std::function<std::vector<std::string>()>;

  static constexpr std::size_t kBehindBytes = std::size_t{16} * 1024;
  static constexpr std::size_t kMaxQueuedBytes = std::size_t{256} * 1024;

  // Writes to duplicates of out and err, so a descriptor the caller closes
  // is never written. Without a thread to spare it writes in the caller.
  ConsoleWriter(int out, int err, Frame frame);
  ConsoleWriter(const ConsoleWriter&) = delete;
  ConsoleWriter& operator=(const ConsoleWriter&) = delete;
  // Stops without waiting for the output: call Flush first. A thread still
  // blocked in a write then stays with it (on its own descriptors and
  // state, frame no longer called) until the process ends.
  ~ConsoleWriter();

  void Write(Stream stream, std::string text, Keep keep);
  void RequestRedraw();
  // Waits until everything queued is written, and gives up once the output
  // has taken nothing for `stall`. True when all is out.
  bool Flush(std::chrono::milliseconds stall);

 private:
  struct State;
  static void Run(const std::shared_ptr<State>& state);
  static void Pump(State& state);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace tevra
