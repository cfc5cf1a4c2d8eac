#include "res/combo_lists.h"

namespace tevra::res {

namespace {

constexpr std::array<std::uint32_t, kBaudRates.size()> kRates = {
    110,   300,   600,   1200,  2400,   4800,   9600,  14400,
    19200, 38400, 56000, 57600, 115200, 128000, 256000};

}  // namespace

std::uint32_t BaudRateForRow(int row) {
  if (row < 0 || static_cast<std::size_t>(row) >= kRates.size()) {
    return 0;
  }
  return kRates[static_cast<std::size_t>(row)];
}

}  // namespace tevra::res
