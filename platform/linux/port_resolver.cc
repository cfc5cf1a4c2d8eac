#include "platform/port_resolver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <set>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/port_access.h"
#include "platform/ports_directory.h"

namespace tevra {
namespace {

bool IsLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// What stands in the way of using the device, for a person; empty when
// nothing does. Nothing is opened: opening a tty toggles DTR, which resets
// some boards.
std::string Obstacle(const std::string& path) {
  const PortAccess access = ExaminePortAccess(path);
  switch (access.verdict) {
    case PortAccess::Verdict::kAllowed:
      return {};
    case PortAccess::Verdict::kMissing:
      return " - no such device";
    case PortAccess::Verdict::kNotInGroup:
    case PortAccess::Verdict::kGroupNotInSession:
    case PortAccess::Verdict::kOwnerOnly:
      break;
  }
  return " - no permission to use it: " + access.Why();
}

std::string Join(const std::string& a, const std::string& b) {
  return a.empty() || b.empty() ? a + b : a + " " + b;
}

}  // namespace

PortResolver::PortResolver(std::string portsDir, PortNumbering numbering)
    : portsDir_(std::move(portsDir)), numbering_(std::move(numbering)) {}

PortResolver PortResolver::ForThisUser() {
  return {PortsDirectory(), PortNumbering::ForThisUser()};
}

const std::map<unsigned, SerialDevice>& PortResolver::Devices() {
  if (!devices_) {
    // An adapter given a linked number could not be reached by it.
    devices_ = numbering_.Scan(LinkNumbers());
  }
  return *devices_;
}

std::set<unsigned> PortResolver::LinkNumbers() const {
  std::set<unsigned> numbers;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(portsDir_, ec)) {
    if (const unsigned n = PortNumber(entry.path().filename().string()); n != 0) {
      numbers.insert(n);
    }
  }
  return numbers;
}

std::string PortResolver::LinkPath(unsigned n) const {
  return portsDir_ + "/" + PortName(n);
}

unsigned PortResolver::PortNumber(std::string_view name) {
  constexpr std::string_view kPrefix = "COM";
  if (name.size() <= kPrefix.size() || !name.starts_with(kPrefix)) {
    return 0;
  }
  const std::string_view digits = name.substr(kPrefix.size());
  unsigned n = 0;
  const char* last = digits.data() + digits.size();
  if (digits.front() < '1' || digits.front() > '9' ||
      std::from_chars(digits.data(), last, n).ptr != last || n > kMaxPortNumber) {
    return 0;
  }
  return n;
}

PortResolver::Resolved PortResolver::Resolve(const std::string& name) {
  if (name.starts_with('/')) {
    return {name, {}};
  }
  const unsigned n = PortNumber(name);
  if (n == 0) {
    return {{}, "not a port name"};
  }
  std::string path = DevicePath(n);
  if (path.empty()) {
    return {{}, "no device has this number (in use: " + NumbersInUse() + ")"};
  }
  return {std::move(path), {}};
}

std::string PortResolver::DevicePath(unsigned n) {
  if (n == 0) {
    return {};
  }
  if (std::string link = LinkPath(n); IsLink(link)) {
    return link;
  }
  const auto it = Devices().find(n);
  return it == Devices().end() ? std::string() : it->second.path;
}

unsigned PortResolver::NumberOf(const std::string& device) {
  struct stat wanted {};
  if (::stat(device.c_str(), &wanted) != 0) {
    return 0;
  }
  for (const unsigned n : LinkNumbers()) {
    struct stat st {};
    if (::stat(LinkPath(n).c_str(), &st) == 0 && st.st_rdev == wanted.st_rdev &&
        st.st_dev == wanted.st_dev && st.st_ino == wanted.st_ino) {
      return n;
    }
  }
  for (const auto& [n, found] : Devices()) {
    if (found.path == device) {
      return n;
    }
  }
  return 0;
}

std::string PortResolver::Describe(unsigned n) {
  if (n == 0) {
    return "no device";
  }
  if (const std::string link = LinkPath(n); IsLink(link)) {
    std::array<char, 4096> target{};
    const ssize_t len = ::readlink(link.c_str(), target.data(), target.size() - 1);
    const std::string shown =
        len > 0 ? std::string(target.data(), static_cast<std::size_t>(len)) : std::string(link);
    return "linked to " + Printable(shown) + Obstacle(link);
  }
  const auto it = Devices().find(n);
  if (it == Devices().end()) {
    return "no device";
  }
  const SerialDevice& d = it->second;
  std::string text = d.path;
  if (d.builtIn) {
    text += " - built-in serial port";
  } else if (!d.vendorId.empty()) {
    const std::string name = Join(d.manufacturer, d.product);
    text += " - " + (name.empty() ? "USB " + d.vendorId + ":" + d.productId : name);
    if (!d.serial.empty()) {
      text += " - serial " + d.serial;
    }
  }
  // Names from USB descriptors and sysfs are the device's to choose.
  return Printable(text) + Obstacle(d.path);
}

std::string PortResolver::NumbersInUse() {
  std::set<unsigned> used = LinkNumbers();
  for (const auto& [n, device] : Devices()) {
    used.insert(n);
  }
  std::string text;
  for (const unsigned n : used) {
    text += (text.empty() ? "COM" : ", COM") + std::to_string(n);
  }
  return text.empty() ? "none" : text;
}

}  // namespace tevra
