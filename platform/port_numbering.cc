#include "platform/port_numbering.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStateFileName = "ports";
constexpr const char* kHeader = "# tevra-updater: the COM number of each serial adapter seen\n";
// Far more than any number of adapters a person plugs in: a bigger file is
// not ours.
constexpr std::size_t kMaxStateSize = std::size_t{256} * 1024;
// 8250 "type" of a port slot without a UART (PORT_UNKNOWN).
constexpr const char* kNoUart = "0";

void Say(const std::string& what) {
  const std::string line = "tevra-updater: " + what + "\n";
  // One write, so the line is not interleaved with another thread's output.
  (void)std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string ErrorText(int error) {
  return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): messages only
}

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

enum class Loaded { kOk, kNone, kUnusable };

struct State {
  std::map<std::string, unsigned> numbers;  // adapter key -> COM number
  Loaded status = Loaded::kNone;
  bool readOnly = false;
};

// Parses "COM<n> <key>" lines; 0 when all is well, else the first bad line.
std::size_t Parse(const std::string& text, std::map<std::string, unsigned>& numbers) {
  std::istringstream in(text);
  std::set<unsigned> used;
  std::size_t lineNo = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    if (line.empty() || line.front() == '#') {
      continue;
    }
    const std::size_t space = line.find(' ');
    unsigned n = 0;
    if (space == std::string::npos || !line.starts_with("COM") ||
        !ParseNumber(std::string_view(line).substr(3, space - 3), n) || n == 0) {
      return lineNo;
    }
    const std::string key = line.substr(space + 1);
    if (key.empty() || key.find_first_of(" \t\r") != std::string::npos || !used.insert(n).second ||
        !numbers.emplace(key, n).second) {
      return lineNo;
    }
  }
  return 0;
}

State Load(const std::string& file) {
  State state;
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid() && (errno == ENOENT || errno == ENOTDIR)) {
    return state;  // nothing seen yet
  }
  std::string text;
  struct stat st {};
  int error = 0;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = EISDIR;
  } else if (static_cast<std::size_t>(st.st_size) > kMaxStateSize) {
    error = EFBIG;
  } else {
    text.resize(static_cast<std::size_t>(st.st_size));
    if (!ReadExactly(fd.get(), reinterpret_cast<std::uint8_t*>(text.data()), text.size())) {
      error = errno;
    }
  }
  if (error != 0) {
    Say("cannot read " + file + " (" + ErrorText(error) +
        "): COM numbers come from what is plugged in and are not remembered");
    state.status = Loaded::kUnusable;
    return state;
  }
  state.readOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  const std::size_t bad = Parse(text, state.numbers);
  if (bad == 0) {
    state.status = Loaded::kOk;
    return state;
  }
  state.numbers.clear();
  // Kept for whoever wants to look; numbering starts afresh.
  const std::string aside = file + ".damaged";
  if (!state.readOnly && ::rename(file.c_str(), aside.c_str()) == 0) {
    Say(file + " is damaged at line " + std::to_string(bad) + ": moved to " + aside +
        ", COM numbers start afresh");
    return state;
  }
  Say(file + " is damaged at line " + std::to_string(bad) +
      ": COM numbers come from what is plugged in and are not remembered");
  state.status = Loaded::kUnusable;
  return state;
}

// Temporary file, then rename: a reader never sees half a file.
bool Save(const std::string& dir, const std::string& file,
          const std::map<std::string, unsigned>& numbers, int& error) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string tmp = file + ".XXXXXX";
  UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd.valid()) {
    error = errno;
    return false;
  }
  std::map<unsigned, std::string> lines;  // by number; numbers are unique
  for (const auto& [key, n] : numbers) {
    lines.emplace(n, key);
  }
  std::string text = kHeader;
  for (const auto& [n, key] : lines) {
    text += "COM" + std::to_string(n) + " " + key + "\n";
  }
  const bool ok =
      WriteAll(fd.get(), reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) &&
      ::fchmod(fd.get(), S_IRUSR | S_IWUSR) == 0 && ::fsync(fd.get()) == 0 && fd.Close() &&
      ::rename(tmp.c_str(), file.c_str()) == 0;
  if (!ok) {
    error = errno;
    (void)::unlink(tmp.c_str());
  }
  return ok;
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

PortNumbering::PortNumbering(std::string sysfsRoot, std::string devRoot, std::string stateDir)
    : sysfsRoot_(std::move(sysfsRoot)),
      devRoot_(std::move(devRoot)),
      stateDir_(std::move(stateDir)),
      stateFile_(stateDir_ + "/" + kStateFileName) {}

PortNumbering PortNumbering::ForThisUser() {
  return PortNumbering("/sys", "/dev", StateDirectory());
}

std::map<unsigned, SerialDevice> PortNumbering::Scan() const {
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(sysfsRoot_, ec);
  std::vector<Found> found = FindDevices(root, devRoot_);

  std::map<unsigned, SerialDevice> ports;
  std::vector<Found> adapters;
  for (Found& f : found) {
    if (f.device.builtIn) {
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

  State state = Load(stateFile_);
  std::set<unsigned> taken;
  for (const auto& [key, n] : state.numbers) {
    taken.insert(n);
  }
  std::vector<std::string> added;
  for (Found& f : adapters) {
    auto it = state.numbers.find(f.device.key);
    if (it != state.numbers.end() && !ports.contains(it->second)) {
      ports.emplace(it->second, std::move(f.device));
      continue;
    }
    // A built-in UART took the remembered number (a card was fitted since).
    unsigned n = kFirstAdapterNumber;
    while (taken.contains(n) || ports.contains(n)) {
      ++n;
    }
    taken.insert(n);
    state.numbers[f.device.key] = n;
    added.push_back("COM" + std::to_string(n) + " (" + f.device.path + ")");
    ports.emplace(n, std::move(f.device));
  }
  if (added.empty() || state.status == Loaded::kUnusable) {
    return ports;
  }
  std::string what;
  for (const std::string& a : added) {
    what += (what.empty() ? "" : ", ") + a;
  }
  int error = 0;
  if (state.readOnly) {
    Say(stateFile_ + " is read-only: " + what + " is not remembered");
  } else if (!Save(stateDir_, stateFile_, state.numbers, error)) {
    Say("cannot write " + stateFile_ + " (" + ErrorText(error) + "): " + what +
        " is not remembered");
  }
  return ports;
}

}  // namespace tevra
