#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The device's download protocol: what the updater sends and the answers it
// recognises. The updater's sequencer, the device simulator and the tests
// all take the bytes from here.
namespace tevra::protocol {

// Payload bytes per data block; the final block carries the rest.
inline constexpr std::size_t BLOCK_SIZE = 128;

// Five-byte commands, each sent in one piece.
inline constexpr std::array<std::uint8_t, 5> CMD_ERASE = {0xE0, 0x22, 0x00, 0x00, 0x02};
// The last byte always announces a full block, also before a shorter final one.
inline constexpr std::array<std::uint8_t, 5> CMD_BLOCK_HEADER = {0xE0, 0x55, 0x00, 0x00, 0x80};
inline constexpr std::size_t kCommandSize = CMD_ERASE.size();

// The device's answers and where a received record holds them: the device
// echoes a header or block before answering, so the offsets are their sizes.
inline constexpr std::array<std::uint8_t, 2> kEraseAck = {0x50, 0x02};
inline constexpr std::size_t kEraseAckOffset = 0;
inline constexpr std::array<std::uint8_t, 3> kHeaderAck = {0xB0, 0xB1, 0xB2};
inline constexpr std::size_t kHeaderAckOffset = CMD_BLOCK_HEADER.size();
inline constexpr std::array<std::uint8_t, 2> kBlockAck = {0x50, 0x00};
inline constexpr std::size_t kBlockAckOffset = BLOCK_SIZE;

}  // namespace tevra::protocol
