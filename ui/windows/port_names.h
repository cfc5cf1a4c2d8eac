#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tevra::win32 {

// What Windows knows of each COM port, read once without opening any: the
// device's friendly name from the ports class of the device manager ("USB
// Serial Port (COM3)", with its manufacturer), else the driver's device name
// from the serial port map (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM).
class PortNames {
 public:
  static PortNames OfThisSystem();

  // One line for COM<portNumber>; "no device" when the system knows none.
  std::wstring Describe(unsigned portNumber) const;

  // n for "COMn" (any case, n from 1 without leading zeros), nullopt for
  // anything else.
  static std::optional<unsigned> ComNumber(std::wstring_view name);

 private:
  std::map<unsigned, std::wstring> names_;
};

}  // namespace tevra::win32
