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
  int dropBlock = -1;           // >= 1: store block K, echo it without 50 00, then answer nothing
  bool flood = false;           // parse nothing, stream answer patterns without a pause
  int answerPauseMs = 0;        // > 0: this many ms of silence before each answer's last byte

  // A fault in how the protocol is answered is set; flood takes none.
  bool AnswerFault() const {
    return ignoreErase > 0 || stopAfterBlock >= 1 || garbage > 0 || hangupAfterBlock >= 1 ||
           dropBlock >= 1 || answerPauseMs > 0;
  }
};

// What the simulator has seen so far.
//
// Block numbers (the n of "block n", and K of stopAfterBlock,
// hangupAfterBlock and dropBlock) count from 1 within a download, that is
// since the last answered erase; `blocks` and `blockLengths` cover the
// simulator's whole run.
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
  std::size_t unknownBytes = 0;  // bytes skipped while looking for a command (flood: all bytes)
  bool silent = false;           // stopAfterBlock or dropBlock reached: no more answers
  std::size_t floodBytes = 0;    // flood bytes completely written
  std::string imageError;        // why the last write of imagePath failed; empty when it worked
};

// A device on a pseudo-terminal that answers the download protocol.
// Runs its own thread between Start and Stop; all members are thread-safe.
//
// What the device receives is framed by ProtocolParser; silence is 30 ms, or
// 3 character times when paced slower.
//
// Answers: 50 02 to an erase; the header echoed, then B0 B1 B2; the block
// echoed, then 50 00. Unpaced they go out in one write at once; paced, each
// byte is written when its 11 bits would have crossed the line, at absolute
// times that never drift. PacedOutput times all the device writes.
//
// Garbage bursts (garbage > 0) hold no 0x50 and no 0xB0, so no burst can pass
// for an answer. One burst goes out before the first answered erase and one
// after every garbageEveryBlocks-th block of a download; each is kept 200 ms
// apart from the answers on both sides (answers wait for that), so a reader
// framing records by 100 ms of silence always gets it as a record of its own.
//
// dropBlock models a device that resets or garbles its last block: block K
// is stored and echoed, but its acceptance (50 00) never follows, nor any
// answer after it. stopAfterBlock cannot say this: it accepts block K and then
// leaves header K+1 unanswered, so block K+1 is never even sent.
//
// answerPauseMs models a device that pauses inside its answers: the last byte
// of each (the 02 of 50 02, the B2, the 00 of 50 00) follows after that much
// silence, so an updater framing by a shorter silence gets every answer cut.
//
// flood models a stuck or foreign device: it parses nothing (received bytes
// are only counted) and from Start on streams 130-byte records holding 50 02
// at 0, B0 B1 B2 at 5 and 50 00 at 128, back to back: paced, on the line's
// absolute schedule, so no gap exceeds a character time; unpaced, as fast as
// the line takes them, waiting on poll when it is full.
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
