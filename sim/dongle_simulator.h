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
  int port = 3;                 // published as COM<port>
  std::string portsDir;         // empty: the updater's own PortsDirectory()
  std::string socketPath;       // set: the device of a unix socket (connected to), no link
  std::string ttyPath;          // set: the device of this existing tty, no link
  std::string imagePath;        // empty: the received image is kept in memory only
  std::uint32_t baud = 9600;    // only used with pace
  bool pace = false;            // send answers at the line's real rate (11 bits a byte)
  int ignoreErase = 0;          // ignore the first N erase commands
  int stopAfterBlock = -1;      // >= 1: answer nothing from block K on (K is acknowledged)
  std::size_t garbage = 0;      // > 0: inject garbage bursts of this many bytes
  int hangupAfterBlock = -1;    // >= 1: hang the line up after acknowledging block K
  int garbageEveryBlocks = 32;  // with garbage: a burst after every K-th block (0: never)
};

// What the simulator has seen so far.
//
// Block numbers (the n of "block n", and K of stopAfterBlock and
// hangupAfterBlock) count from 1 within a download, that is since the last
// answered erase; `blocks` and `blockLengths` cover the simulator's whole run.
struct DongleStats {
  int erases = 0;   // erase commands received (ignored ones included)
  int headers = 0;  // block headers received
  int blocks = 0;   // data blocks received
  std::vector<std::size_t> blockLengths;
  std::vector<std::uint8_t> image;  // concatenated block bytes since the last erase
  bool hungUp = false;              // the hang-up fault has closed the line

  int erasesAnswered = 0;        // erases acknowledged with 50 02
  int blocksSinceErase = 0;      // the number of the last block of this download
  int garbageBursts = 0;         // garbage bursts completely written
  std::size_t unknownBytes = 0;  // bytes skipped while looking for a command
  bool silent = false;           // stopAfterBlock reached: nothing is answered any more
  std::string imageError;        // why the last write of imagePath failed; empty when it worked
};

// A device on a pseudo-terminal that answers the download protocol.
// Runs its own thread between Start and Stop; all members are thread-safe.
//
// Framing of what the device receives: when it expects a command it takes 5
// bytes, skipping bytes until E0 starts a known command (a partial command
// followed by silence is skipped too); after a block header it takes a data
// block: 128 bytes at once, or fewer followed by silence (a short final
// block). Five bytes equal to the erase command followed by silence, where a
// block is expected, are an erase: an updater that abandoned a download starts
// over that way. Silence is 30 ms, or 3 character times when paced slower.
//
// Answers: 50 02 to an erase; the header echoed, then B0 B1 B2; the block
// echoed, then 50 00. Unpaced they go out in one write at once; paced, each
// byte is written when its 11 bits would have crossed the line, at absolute
// times that never drift.
//
// Garbage bursts (garbage > 0) hold no 0x50 and no 0xB0, so no burst can pass
// for an answer. One burst goes out before the first answered erase and one
// after every garbageEveryBlocks-th block of a download; each is kept 200 ms
// apart from the answers on both sides (answers wait for that), so a reader
// framing records by 100 ms of silence always gets it as a record of its own.
//
// The hang-up fault waits until the acknowledgement of block K has been read
// from the line (the slave's input queue stays empty for 50 ms; at most 2 s),
// since a hang-up discards what the other side has not read yet.
//
// The received image is written to imagePath (through a temporary file and a
// rename) after every answered erase and every block, and again by Stop.
// Stats and the image file are brought up to date before the answer to the
// event goes out, so whoever has read an answer can check them at once.
class DongleSimulator {
 public:
  // Called on the simulator's thread, one line per event: "erase",
  // "erase ignored", "header", "block <n> <len> bytes", "garbage <n> bytes",
  // "skipped <n> unknown bytes", "hang-up", ... Must not call back into the
  // simulator.
  using LogFn = std::function<void(const std::string&)>;

  explicit DongleSimulator(DongleOptions options, LogFn log = {});
  DongleSimulator(const DongleSimulator&) = delete;
  DongleSimulator& operator=(const DongleSimulator&) = delete;
  ~DongleSimulator();

  // Publishes COMn (or connects to socketPath, or opens ttyPath) and starts
  // answering; false with a reason on failure.
  // A simulator runs once: Start after a successful Start fails.
  bool Start(std::string* error);
  // Stops the thread, removes the link, hangs up; writes the image file.
  void Stop();

  DongleStats Stats() const;
  // Waits until pred(stats) holds or the timeout passes; returns pred's last value.
  // pred is evaluated with the stats locked, on every change of them.
  bool WaitUntil(const std::function<bool(const DongleStats&)>& pred,
                 std::chrono::milliseconds timeout) const;
  // The line the updater's side opens: the pseudo-terminal's slave, e.g.
  // /dev/pts/4, or the socket or tty path; empty before Start.
  std::string SlavePath() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tevra::sim
