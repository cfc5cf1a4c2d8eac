#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tevra::sim {

struct DongleOptions {
  int port = 3;                  // published as COM<port>
  std::string portsDir;          // empty: the updater's own PortsDirectory()
  std::string imagePath;         // empty: the received image is kept in memory only
  std::uint32_t baud = 9600;     // only used with pace
  bool pace = false;             // send answers at the line's real rate (11 bits a byte)
  int ignoreErase = 0;           // ignore the first N erase commands
  int stopAfterBlock = -1;       // >= 1: answer nothing from block K on (K is acknowledged)
  std::size_t garbage = 0;       // > 0: inject garbage bursts of this many bytes
  int hangupAfterBlock = -1;     // >= 1: hang the line up after acknowledging block K
};

// What the simulator has seen so far.
struct DongleStats {
  int erases = 0;                    // erase commands received (ignored ones included)
  int headers = 0;                   // block headers received
  int blocks = 0;                    // data blocks received
  std::vector<std::size_t> blockLengths;
  std::vector<std::uint8_t> image;   // concatenated block bytes since the last erase
  bool hungUp = false;
};

// A device on a pseudo-terminal that answers the download protocol.
// Runs its own thread between Start and Stop; all members are thread-safe.
class DongleSimulator {
 public:
  using LogFn = std::function<void(const std::string&)>;

  explicit DongleSimulator(DongleOptions options, LogFn log = {});
  DongleSimulator(const DongleSimulator&) = delete;
  DongleSimulator& operator=(const DongleSimulator&) = delete;
  ~DongleSimulator();

  // Publishes COMn and starts answering; false with a reason on failure.
  bool Start(std::string* error);
  // Stops the thread, removes the link, hangs up; writes the image file.
  void Stop();

  DongleStats Stats() const;
  // Waits until pred(stats) holds or the timeout passes; returns pred's last value.
  bool WaitUntil(const std::function<bool(const DongleStats&)>& pred,
                 std::chrono::milliseconds timeout) const;
  std::string SlavePath() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tevra::sim
