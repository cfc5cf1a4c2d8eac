#include "tests/support/fake_serial_tree.h"

#include <filesystem>
#include <fstream>

namespace tevra::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsbHost = "devices/pci0000:00/0000:00:14.0/usb1";

void Put(const fs::path& file, const std::string& value) {
  if (!value.empty()) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << value << '\n';
  }
}

void AddTty(const std::string& root, const fs::path& ttyDir, const std::string& device) {
  const fs::path sys = root + "/sys";
  const std::string name = ttyDir.filename().string();
  Put(ttyDir / "uevent", "DEVNAME=" + name);
  if (!device.empty()) {
    fs::create_directory_symlink(device, ttyDir / "device");
  }
  fs::create_directory_symlink(fs::relative(ttyDir, sys / "class/tty"), sys / "class/tty" / name);
  Put(root + "/dev/" + name, "node");
}

}  // namespace

FakeSerialTree::FakeSerialTree() {
  const fs::path sys = sysfsRoot();
  fs::create_directories(sys / "class/tty");
  Put(sys / "devices/pnp0/00:01/tty/ttyS0/type", "4");
  AddTty(dir_.path(), sys / "devices/pnp0/00:01/tty/ttyS0", "../../../00:01");
  for (int k = 1; k < 32; ++k) {
    const fs::path slot = sys / "devices/platform/serial8250/tty" / ("ttyS" + std::to_string(k));
    Put(slot / "type", "0");
    AddTty(dir_.path(), slot, "../../../serial8250");
  }
  AddTty(dir_.path(), sys / "devices/virtual/tty/tty0", "");
}

void FakeSerialTree::Plug(const FakeAdapter& a, const std::string& tty,
                          const std::string& usbPort) const {
  const fs::path usb = sysfsRoot() + "/" + kUsbHost + "/" + usbPort;
  Put(usb / "idVendor", a.vendorId);
  Put(usb / "idProduct", a.productId);
  Put(usb / "manufacturer", a.manufacturer);
  Put(usb / "product", a.product);
  Put(usb / "serial", a.serial);
  const fs::path iface = usb / (usbPort + ":1.0");
  Put(iface / "bInterfaceNumber", "00");
  if (tty.starts_with("ttyUSB")) {
    Put(iface / tty / "port_number", "0");
    AddTty(dir_.path(), iface / tty / "tty" / tty, "../../../" + tty);
  } else {
    AddTty(dir_.path(), iface / "tty" / tty, "../../../" + iface.filename().string());
  }
}

void FakeSerialTree::UnplugAll() const {
  for (const auto& entry : fs::directory_iterator(sysfsRoot() + "/class/tty")) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("ttyUSB") || name.starts_with("ttyACM")) {
      fs::remove(entry.path());
      fs::remove(devRoot() + "/" + name);
    }
  }
  fs::remove_all(sysfsRoot() + "/" + kUsbHost);
}

}  // namespace tevra::test
