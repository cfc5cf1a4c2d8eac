#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

#include "platform/port_state_file.h"

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

// Gives every serial device a COM number a person can follow:
// - a built-in UART that exists keeps ttyS<k> -> COM<k+1>;
// - an adapter seen before keeps the number it had the last time it was
//   seen, unless a device plugged in now holds that number: then it takes
//   the lowest free number and keeps that one from then on, so a number
//   never moves under an adapter that stays plugged in (but for a new link);
// - a new adapter takes the lowest number from 3 up that nothing plugged in
//   holds now, so the next customer's dongle on a service desk is COM3 again.
// Of adapters that remember one number, the one seen last keeps it (then
// by key); two adapters plugged in together never share or swap a number.
// What each adapter had is remembered in PortStateFile (the 64 seen last).
//
// Devices are found in <sysfs root>/class/tty (entries with a "device"
// link); nothing is opened but sysfs attributes.
class PortNumbering {
 public:
  // wait: for another updater's lock on the state (see StateLockWait).
  PortNumbering(std::string sysfsRoot, std::string devRoot, std::string stateDir,
                StateLockWait wait = {});
  // /sys, /dev and StateDirectory().
  static PortNumbering ForThisUser(StateLockWait wait = {});

  // The devices present now, by COM number, remembered for the next scan.
  std::map<unsigned, SerialDevice> Scan() const;
  // The same, giving no adapter one of the reserved numbers (links that win
  // over the numbering).
  std::map<unsigned, SerialDevice> Scan(const std::set<unsigned>& reserved) const;

  // The device whose node is devicePath ("<dev root>/ttyUSB0") as sysfs
  // describes it, numbering nothing; none when sysfs lists no such device
  // (a pseudo-terminal, a path elsewhere).
  std::optional<SerialDevice> Find(const std::string& devicePath) const;

  const std::string& stateFile() const { return state_.path(); }

  static constexpr unsigned kFirstAdapterNumber = 3;

 private:
  std::string sysfsRoot_;
  std::string devRoot_;
  PortStateFile state_;
};

// ${XDG_STATE_HOME:-$HOME/.local/state}/tevra-updater, no trailing slash.
std::string StateDirectory();

}  // namespace tevra
