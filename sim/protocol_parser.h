#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tevra::sim {

// Splits what the device receives into what the updater sent. No I/O, no
// clock: the caller says when the line has been quiet long enough.
//
// When a command is expected it takes 5 bytes, skipping bytes until E0 starts
// a known command (a partial command followed by silence is skipped too);
// after a block header it takes a data block: 128 bytes at once, or fewer
// followed by silence (a short final block). Five bytes equal to the erase
// command followed by silence, where a block is expected, are an erase: an
// updater that abandoned a download starts over that way. Skipped bytes are
// reported as one count just before the next command, or at silence.
class ProtocolParser {
 public:
  struct Arrival {
    enum class Kind { kErase, kHeader, kBlock, kUnknown };
    Kind kind = Kind::kUnknown;
    std::vector<std::uint8_t> block;  // kBlock: its bytes
    std::size_t unknownBytes = 0;     // kUnknown: how many bytes were skipped
  };

  // What these bytes completed, in order.
  std::vector<Arrival> Feed(std::span<const std::uint8_t> bytes);
  // The line went quiet: what the bytes held so far amount to, if anything.
  std::optional<Arrival> Silence();
  // Bytes are held that only silence can settle.
  bool Holding() const { return !pending_.empty() || skipped_ > 0; }

 private:
  bool expectBlock_ = false;
  std::vector<std::uint8_t> pending_;
  std::size_t skipped_ = 0;  // not yet reported
};

}  // namespace tevra::sim
