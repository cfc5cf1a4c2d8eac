#pragma once

#include <cstdint>

namespace tevra {

// Event-mask bits of CommDevice::WaitCommEvent.
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_ERR = 0x0080;

// Error bits of CommDevice::ClearCommError: the causes of EV_ERR.
inline constexpr std::uint32_t CE_RXOVER = 0x0001;    // input queue full; excess bytes dropped
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;   // the driver or UART lost bytes
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;  // parity error on the line
inline constexpr std::uint32_t CE_FRAME = 0x0008;     // framing error on the line
inline constexpr std::uint32_t CE_BREAK = 0x0010;     // break received
inline constexpr std::uint32_t CE_IOE = 0x0400;       // hang-up or I/O error: the device is gone

}  // namespace tevra
