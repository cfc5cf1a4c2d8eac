#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/port_numbering.h"

namespace tevra {

// What "COMn" means: the link COMn in the ports directory when it exists
// (explicit links always win), else the device the numbering gave number n
// (never a linked number), else nothing. Numbers the devices once, on first
// need; opens no device.
class PortResolver {
 public:
  // Where a port name leads: path is what to open; empty when nothing does,
  // and cause then says why, for a person ("not a port name", "no device has
  // this number (in use: COM1, COM4)").
  struct Resolved {
    std::string path;
    std::string cause;
  };

  PortResolver(std::string portsDir, PortNumbering numbering);
  // PortsDirectory() and PortNumbering::ForThisUser().
  static PortResolver ForThisUser();

  // name is "COM<n>" (n from 1, no sign or leading zero) or an absolute
  // device path, taken as it is.
  Resolved Resolve(const std::string& name);
  // The one reading of a port's name, for the command line, the window and
  // the ports directory alike: n for "COM<n>" (upper case, as the window
  // lists them; n from 1 to kMaxPortNumber without sign or leading zero); 0
  // for anything else.
  static unsigned PortNumber(std::string_view name);
  static std::string PortName(unsigned n) { return "COM" + std::to_string(n); }

  static constexpr unsigned kMaxPortNumber = 255;  // the port number is one byte

  // The path to open for COM<n>; empty when nothing has that number (and
  // always for 0). A link is returned as the link: open() follows it, so a
  // link whose target vanished fails instead of falling back.
  std::string DevicePath(unsigned n);
  // n for the COM<n> a person sees for `device` (a node such as
  // /dev/ttyUSB0): a link to the same device when one exists, else its
  // number; 0 when it has none.
  unsigned NumberOf(const std::string& device);
  // One line for a person saying what COM<n> is: the device and, for USB
  // adapters, manufacturer, product and serial number; "linked to PATH";
  // or "no device". Ends with the way out when the user may not use it.
  std::string Describe(unsigned n);
  // What sysfs says of the device node devicePath (PortNumbering::Find).
  std::optional<SerialDevice> Find(const std::string& devicePath) const {
    return numbering_.Find(devicePath);
  }
  // "COM1, COM3", the numbers that lead to something now; "none".
  std::string NumbersInUse();

 private:
  const std::map<unsigned, SerialDevice>& Devices();
  std::string LinkPath(unsigned n) const;
  std::set<unsigned> LinkNumbers() const;

  std::string portsDir_;
  PortNumbering numbering_;
  std::optional<std::map<unsigned, SerialDevice>> devices_;
};

}  // namespace tevra
