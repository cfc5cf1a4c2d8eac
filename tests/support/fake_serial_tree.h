#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace tevra::test {

// What a USB adapter tells sysfs about itself; empty strings are absent.
struct FakeAdapter {
  std::string vendorId, productId, manufacturer, product, serial;
};

// A sysfs and /dev tree in a temporary folder, real directories and links
// shaped like the kernel's: ttyS0 a 16550 that exists, ttyS1..ttyS31 8250
// slots without a UART, virtual terminals without a device. Plug adds a USB
// adapter as ttyUSB<n> (usb-serial: a port device below the interface) or
// ttyACM<n> (cdc_acm: the tty hangs off the interface); usbPort is the USB
// device's sysfs name (bus, then port path). Throws on failure.
class FakeSerialTree {
 public:
  FakeSerialTree();
  std::string sysfsRoot() const { return dir_.Path("sys"); }
  std::string devRoot() const { return dir_.Path("dev"); }
  std::string Path(const std::string& name) const { return dir_.Path(name); }
  // Const: they change the tree on disk, not this object.
  void Plug(const FakeAdapter& adapter, const std::string& tty, const std::string& usbPort) const;
  void UnplugAll() const;

 private:
  TempDir dir_;
};

}  // namespace tevra::test
