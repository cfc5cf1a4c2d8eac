#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace tevra::test {

// What a USB adapter tells sysfs about itself; empty strings are absent.
struct FakeAdapter {
  std::string vendorId, productId, manufacturer, product, serial;
};

// sysfs and /dev shaped like the kernel's: ttyS0 a real UART, ttyS1..31 empty
// slots; ttyUSB<n> below a usb-serial port, ttyACM<n> on the interface.
class FakeSerialTree {
 public:
  FakeSerialTree();
  std::string sysfsRoot() const { return dir_.Path("sys"); }
  std::string devRoot() const { return dir_.Path("dev"); }
  std::string Path(const std::string& name) const { return dir_.Path(name); }
  void Plug(const FakeAdapter& adapter, const std::string& tty, const std::string& usbPort) const;
  void UnplugAll() const;

 private:
  TempDir dir_;
};

}  // namespace tevra::test
