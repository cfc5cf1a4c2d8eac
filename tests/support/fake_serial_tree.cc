#include "tests/support/fake_serial_tree.h"

#include <filesystem>
#include <fstream>

namespace tevra::test {
namespace {

namespace fs = std::filesystem;

void Put(const fs::path& file, const std::string& value) {
  if (value.empty()) {
    return;
  }
  fs::create_directories(file.parent_path());
  std::ofstream(file) << value << '\n';
}

constexpr const char* kUsbHost = "devices/pci0000:00/0000:00:14.0/usb1";

}  // namespace

FakeSerialTree::FakeSerialTree() {
  fs::create_directories(devRoot());
  const fs::path sys = sysfsRoot();
  fs::create_directories(sys / "class/tty");
  // The kernel's class entries are relative links into devices/.
  auto addTty = [&](const fs::path& ttyDir, const std::string& device) {
    const std::string name = ttyDir.filename().string();
    Put(ttyDir / "uevent", "MAJOR=4\nDEVNAME=" + name);
    if (!device.empty()) {
      fs::create_directory_symlink(device, ttyDir / "device");
    }
    fs::create_directory_symlink(fs::relative(ttyDir, sys / "class/tty"), sys / "class/tty" / name);
    Put(Path("dev/" + name), "node");
  };
  const fs::path uart = sys / "devices/pnp0/00:01/tty/ttyS0";
  Put(uart / "type", "4");
  addTty(uart, "../../../00:01");
  for (int k = 1; k < 32; ++k) {
    const fs::path slot = sys / "devices/platform/serial8250/tty" / ("ttyS" + std::to_string(k));
    Put(slot / "type", "0");
    addTty(slot, "../../../serial8250");
  }
  addTty(sys / "devices/virtual/tty/tty0", "");
  addTty(sys / "devices/virtual/tty/ptmx", "");
}

void FakeSerialTree::Plug(const FakeAdapter& a, const std::string& tty,
                          const std::string& usbPort) const {
  const fs::path sys = sysfsRoot();
  const fs::path usb = sys / kUsbHost / usbPort;
  Put(usb / "idVendor", a.vendorId);
  Put(usb / "idProduct", a.productId);
  Put(usb / "manufacturer", a.manufacturer);
  Put(usb / "product", a.product);
  Put(usb / "serial", a.serial);
  const std::string ifName = usbPort + ":1.0";
  Put(usb / ifName / "bInterfaceNumber", "00");
  fs::path ttyDir;
  if (tty.starts_with("ttyUSB")) {
    Put(usb / ifName / tty / "port_number", "0");
    ttyDir = usb / ifName / tty / "tty" / tty;
    fs::create_directories(ttyDir);
    fs::create_directory_symlink("../../../" + tty, ttyDir / "device");
  } else {
    ttyDir = usb / ifName / "tty" / tty;
    fs::create_directories(ttyDir);
    fs::create_directory_symlink("../../../" + ifName, ttyDir / "device");
  }
  Put(ttyDir / "uevent", "MAJOR=188\nDEVNAME=" + tty);
  fs::create_directory_symlink(fs::relative(ttyDir, sys / "class/tty"), sys / "class/tty" / tty);
  Put(Path("dev/" + tty), "node");
}

void FakeSerialTree::UnplugAll() const {
  const fs::path sys = sysfsRoot();
  for (const auto& entry : fs::directory_iterator(sys / "class/tty")) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("ttyUSB") || name.starts_with("ttyACM")) {
      fs::remove(entry.path());
      fs::remove(Path("dev/" + name));
    }
  }
  fs::remove_all(sys / kUsbHost);
}

}  // namespace tevra::test
