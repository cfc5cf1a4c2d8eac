#pragma once

#include <map>
#include <string>

namespace tevra {

// A serial device the kernel lists in sysfs, as far as sysfs describes it.
struct SerialDevice {
  std::string name;  // "ttyUSB0"
  std::string path;  // "<dev root>/ttyUSB0"
  bool builtIn = false;
  // Who the adapter is, independent of the name the kernel gave it this time
  // (USB ids and serial number, else the USB port path); empty for built-ins.
  std::string key;
  std::string vendorId;  // USB only, e.g. "0403"
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serial;
};

// Gives every serial device a COM number, as the platform the updater came
// from does: a built-in UART that exists keeps ttyS<k> -> COM<k+1>; every
// other adapter gets the lowest free number from 3 up the first time it is
// seen and keeps it, remembered per adapter in the file "ports" of the state
// directory, so replugging, rebooting or plugging another adapter first
// changes nothing and two adapters never swap.
//
// Devices are found in <sysfs root>/class/tty (entries with a "device"
// link); nothing is opened but sysfs attributes. The state file is replaced
// atomically and only when an assignment changes. A state file that cannot be
// read or written never stops the numbering: it then works from what is
// plugged in, and one stderr line per scan says why nothing was remembered.
// A damaged file is moved aside to "ports.damaged" and numbering starts
// afresh; a file without write permission is read and never replaced.
class PortNumbering {
 public:
  PortNumbering(std::string sysfsRoot, std::string devRoot, std::string stateDir);
  // /sys, /dev and StateDirectory().
  static PortNumbering ForThisUser();

  // The devices present now, by COM number. Assigns and remembers numbers
  // for adapters seen for the first time.
  std::map<unsigned, SerialDevice> Scan() const;

  const std::string& stateFile() const { return stateFile_; }

  static constexpr unsigned kFirstAdapterNumber = 3;

 private:
  std::string sysfsRoot_;
  std::string devRoot_;
  std::string stateDir_;
  std::string stateFile_;
};

// ${XDG_STATE_HOME:-$HOME/.local/state}/tevra-updater, no trailing slash.
std::string StateDirectory();

}  // namespace tevra
