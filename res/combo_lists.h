#pragma once

#include <array>
#include <cstdint>

namespace tevra::res {

inline constexpr std::array<const char*, 1> kReaderTypes = {"COM"};

inline constexpr std::array<const char*, 13> kPortNumbers = {
    "COM1", "COM2", "COM3",  "COM4",  "COM5",  "COM6", "COM7",
    "COM8", "COM9", "COM10", "COM11", "COM12", "COM13"};

inline constexpr std::array<const char*, 15> kBaudRates = {
    "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",  "14400",
    "19200", "38400", "56000", "57600", "115200", "128000", "256000"};

// The rate a row of the rate list opens at: every listed row has its rate
// (row 14 included, since the list offers it); any other row, -1 for "no
// row selected" among them, gives 0, which the port refuses.
std::uint32_t BaudRateForRow(int row);

}  // namespace tevra::res
