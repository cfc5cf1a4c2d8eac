#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace tevra::test {

// What a USB adapter tells sysfs about itself; empty strings are absent.
struct FakeAdapter {
  std::string vendorId;
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serial;
};

// A sysfs and /dev tree in a temporary folder, real directories and links
// shaped like the kernel's: ttyS0 a 16550 that exists, ttyS1..ttyS31 slots
// of the 8250 driver without a UART, and virtual terminals without a device.
// Plug adds a USB adapter as ttyUSB<n> (usb-serial: a port device below the
// interface) or ttyACM<n> (cdc_acm: the tty hangs off the interface).
// Throws std::system_error / std::filesystem::filesystem_error on failure.
class FakeSerialTree {
 public:
  FakeSerialTree();

  std::string sysfsRoot() const { return dir_.Path("sys"); }
  std::string devRoot() const { return dir_.Path("dev"); }
  std::string Path(const std::string& name) const { return dir_.Path(name); }

  // usbPort is the USB device's name in sysfs: bus, then the port path.
  // Const: they change the tree on disk, not this object.
  void Plug(const FakeAdapter& adapter, const std::string& tty, const std::string& usbPort) const;
  void UnplugAll() const;

 private:
  TempDir dir_;
};

}  // namespace tevra::test
