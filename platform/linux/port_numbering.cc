#include "platform/port_numbering.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <utility>
#include <vector>

namespace tevra {
namespace {

namespace fs = std::filesystem;

// 8250 "type" of a port slot without a UART (PORT_UNKNOWN).
constexpr const char* kNoUart = "0";

// A sysfs attribute without its trailing newline; empty when absent.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string value;
  std::getline(in, value);
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) {
    value.pop_back();
  }
  return value;
}

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::symlink_status(p, ec).type() != fs::file_type::not_found;
}

// The device node's name as the kernel announces it (DEVNAME), else the
// class entry's name.
std::string NodeName(const fs::path& ttyDir, const std::string& name) {
  std::ifstream in(ttyDir / "uevent");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("DEVNAME=") && line.size() > 8) {
      return line.substr(8);
    }
  }
  return name;
}

bool ParseNumber(std::string_view s, unsigned& n) {
  if (s.empty() || s.front() < '0' || s.front() > '9' || (s.size() > 1 && s.front() == '0')) {
    return false;
  }
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  return ec == std::errc() && end == s.data() + s.size();
}

// Keys are one token a line: anything but plain characters is %XX.
std::string Encode(const std::string& s) {
  std::string out;
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0 || c == '.' || c == '-' || c == '_') {
      out += c;
    } else {
      std::array<char, 4> hex{};
      (void)std::snprintf(hex.data(), hex.size(), "%%%02X", u);
      out += hex.data();
    }
  }
  return out;
}

struct Found {
  SerialDevice device;
  unsigned builtInNumber = 0;  // ttyS<k> -> k + 1
  std::string pathKey;         // where it is plugged in, for keys that clash
};

// Fills the USB description and the keys of an adapter whose device
// directory is `dev`: the USB device is the nearest ancestor with idVendor.
void DescribeAdapter(const fs::path& sysfsRoot, const fs::path& dev, Found& f) {
  fs::path below = dev;
  for (fs::path p = dev; p.has_relative_path() && p != sysfsRoot; p = p.parent_path()) {
    if (Exists(p / "idVendor")) {
      SerialDevice& d = f.device;
      d.vendorId = Attribute(p / "idVendor");
      d.productId = Attribute(p / "idProduct");
      d.manufacturer = Attribute(p / "manufacturer");
      d.product = Attribute(p / "product");
      d.serial = Attribute(p / "serial");
      // Several ports of one adapter share its serial number: the interface
      // and the driver's port number tell them apart.
      std::string where = ":if=" + Encode(Attribute(below / "bInterfaceNumber"));
      const std::string port = Attribute(dev / "port_number");
      if (!port.empty() && port != "0") {
        where += ":port=" + Encode(port);
      }
      const std::string ids = "usb:" + Encode(d.vendorId) + ":" + Encode(d.productId);
      f.pathKey = ids;
      f.pathKey += ":at=" + Encode(p.filename().string());
      f.pathKey += where;
      d.key = f.pathKey;
      if (!d.serial.empty()) {
        d.key = ids;
        d.key += ":serial=" + Encode(d.serial);
        d.key += where;
      }
      return;
    }
    below = p;
  }
  f.pathKey = "dev:" + Encode(dev.lexically_relative(sysfsRoot).string());
  f.device.key = f.pathKey;
}

std::vector<Found> FindDevices(const fs::path& sysfsRoot, const std::string& devRoot) {
  std::vector<Found> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sysfsRoot / "class" / "tty", ec)) {
    const fs::path& dir = entry.path();
    const std::string name = dir.filename().string();
    // Consoles, pseudo-terminals and the like have no device behind them.
    std::error_code devEc;
    const fs::path dev = fs::canonical(dir / "device", devEc);
    if (devEc) {
      continue;
    }
    Found f;
    f.device.name = name;
    f.device.path = devRoot + "/" + NodeName(dir, name);
    unsigned k = 0;
    if (name.starts_with("ttyS") && ParseNumber(std::string_view(name).substr(4), k)) {
      // The 8250 driver lists every slot; a slot without a UART has type 0.
      if (Attribute(dir / "type") == kNoUart) {
        continue;
      }
      f.device.builtIn = true;
      f.builtInNumber = k + 1;
    } else {
      DescribeAdapter(sysfsRoot, dev, f);
    }
    found.push_back(std::move(f));
  }
  return found;
}

// Gives each adapter its number (see PortNumbering) and records it in
// `remembered`; returns the numbers given anew, for a person.
std::string Assign(PortStateFile::Entries& remembered, std::vector<Found>& adapters,
                   std::set<unsigned> taken, std::map<unsigned, SerialDevice>& ports) {
  std::uint64_t last = 0;  // the last scan's stamp
  for (const auto& [key, r] : remembered) {
    last = std::max(last, r.seen);
  }
  // The order of claims: adapters seen most recently first; new ones last.
  // Adapters come sorted by key, which breaks ties.
  std::vector<const RememberedPort*> known(adapters.size(), nullptr);
  std::vector<std::size_t> order(adapters.size());
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const auto it = remembered.find(adapters[i].device.key);
    known[i] = it == remembered.end() ? nullptr : &it->second;
    order[i] = i;
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return known[a] != nullptr && (known[b] == nullptr || known[a]->seen > known[b]->seen);
  });
  std::vector<unsigned> given(adapters.size(), 0);
  for (const std::size_t i : order) {
    if (known[i] != nullptr && taken.insert(known[i]->number).second) {
      given[i] = known[i]->number;
    }
  }
  for (const std::size_t i : order) {
    for (unsigned n = PortNumbering::kFirstAdapterNumber; given[i] == 0; ++n) {
      if (taken.insert(n).second) {
        given[i] = n;
      }
    }
  }
  // Stamps change only when the set plugged in or a number does, so the file
  // is not rewritten by every scan.
  auto seenLast = static_cast<std::size_t>(std::count_if(
      remembered.begin(), remembered.end(), [&](const auto& e) { return e.second.seen == last; }));
  bool unchanged = seenLast == adapters.size();
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    unchanged =
        unchanged && known[i] != nullptr && known[i]->seen == last && known[i]->number == given[i];
  }
  std::string what;
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    SerialDevice& d = adapters[i].device;
    if (known[i] == nullptr || known[i]->number != given[i]) {
      what += (what.empty() ? "COM" : ", COM") + std::to_string(given[i]) + " (" + d.path + ")";
    }
    if (!unchanged) {
      remembered[d.key] = {given[i], last + 1};
    }
    ports.emplace(given[i], std::move(d));
  }
  return what;
}

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read-only use
  return v != nullptr ? std::string(v) : std::string();
}

}  // namespace

std::string StateDirectory() {
  std::string base = EnvOrEmpty("XDG_STATE_HOME");
  // Relative values are invalid by the XDG rules and are ignored.
  if (!base.starts_with('/')) {
    base = EnvOrEmpty("HOME") + "/.local/state";
  }
  while (base.size() > 1 && base.back() == '/') {
    base.pop_back();
  }
  return base + "/tevra-updater";
}

PortNumbering::PortNumbering(std::string sysfsRoot, std::string devRoot, std::string stateDir,
                             StateLockWait wait)
    : sysfsRoot_(std::move(sysfsRoot)),
      devRoot_(std::move(devRoot)),
      state_(std::move(stateDir), std::move(wait)) {}

PortNumbering PortNumbering::ForThisUser(StateLockWait wait) {
  return PortNumbering("/sys", "/dev", StateDirectory(), std::move(wait));
}

std::map<unsigned, SerialDevice> PortNumbering::Scan() const {
  return Scan({});
}

std::map<unsigned, SerialDevice> PortNumbering::Scan(const std::set<unsigned>& reserved) const {
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(sysfsRoot_, ec);
  std::vector<Found> found = FindDevices(root, devRoot_);

  std::map<unsigned, SerialDevice> ports;
  std::vector<Found> adapters;
  std::set<unsigned> taken = reserved;
  for (Found& f : found) {
    if (f.device.builtIn) {
      taken.insert(f.builtInNumber);
      ports.emplace(f.builtInNumber, std::move(f.device));
    } else {
      adapters.push_back(std::move(f));
    }
  }
  // By key, so adapters first seen together are numbered whatever names the
  // kernel gave them; two adapters claiming one serial number fall back to
  // where they are plugged in.
  std::sort(adapters.begin(), adapters.end(), [](const Found& a, const Found& b) {
    return std::tie(a.device.key, a.pathKey) < std::tie(b.device.key, b.pathKey);
  });
  for (std::size_t i = 1; i < adapters.size(); ++i) {
    if (adapters[i].device.key == adapters[i - 1].device.key) {
      adapters[i].device.key = adapters[i].pathKey;
    }
  }
  state_.Update([&](PortStateFile::Entries& remembered) {
    return Assign(remembered, adapters, taken, ports);
  });
  return ports;
}

std::optional<SerialDevice> PortNumbering::Find(const std::string& devicePath) const {
  std::error_code ec;
  for (Found& f : FindDevices(fs::weakly_canonical(sysfsRoot_, ec), devRoot_)) {
    if (f.device.path == devicePath) {
      return std::move(f.device);
    }
  }
  return std::nullopt;
}

}  // namespace tevra
