#include "access/serial_node.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <sstream>
#include <string_view>
#include <system_error>

#include "access/grant_rule.h"

namespace tevra {
namespace {

namespace fs = std::filesystem;

// A sysfs attribute (a page at most), its trailing newline dropped; nullopt
// when unreadable.
std::optional<std::string> ReadAttribute(const fs::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return std::nullopt;
  }
  constexpr std::size_t kPage = 4096;
  std::string text;
  for (;;) {
    const std::size_t had = text.size();
    text.resize(had + kPage);
    const ssize_t n = ::read(fd.get(), text.data() + had, kPage);
    if (n < 0 && errno == EINTR) {
      text.resize(had);
      continue;
    }
    if (n < 0) {
      return std::nullopt;
    }
    text.resize(had + static_cast<std::size_t>(n));
    if (n == 0 || text.size() > kPage) {  // sysfs gives a page at most
      break;
    }
  }
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

// tty0 (the one in front), tty1, tty2, ...
bool IsVirtualTerminal(std::string_view name) {
  const std::string_view prefix = "tty";
  return name.size() > prefix.size() && name.starts_with(prefix) &&
         std::all_of(name.begin() + prefix.size(), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// Whether the tty NAME is one of the kernel's consoles (kGrantRule's list);
// nullopt, errno set, when the list of the active ones cannot be read.
std::optional<bool> IsConsole(const std::string& name) {
  if (name == "console" || name == "tty" || IsVirtualTerminal(name)) {
    return true;
  }
  const std::optional<std::string> active = ReadAttribute(kActiveConsoles);
  if (!active) {
    return std::nullopt;
  }
  std::istringstream names(*active);
  std::string console;
  while (names >> console) {
    if (console == name) {
      return true;
    }
  }
  return false;
}

std::optional<std::string> UsbId(const fs::path& file) {
  std::optional<std::string> id = ReadAttribute(file);
  if (!id || id->size() != 4 || !std::all_of(id->begin(), id->end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return std::nullopt;
  }
  std::transform(id->begin(), id->end(), id->begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return id;
}

}  // namespace

std::optional<GrantError> SerialNode::Open(const std::string& path, SerialNode& node) {
  const std::string prefix = "/dev/";
  const std::string name = path.starts_with(prefix) ? path.substr(prefix.size()) : "";
  if (name.empty() || name == "." || name == ".." || name.size() > NAME_MAX ||
      name.find('/') != std::string::npos) {
    return GrantError{GrantFault::kNotUnderDev, 0, path};
  }
  node.devPath_ = path;
  node.name_ = name;
  node.fd_ = UniqueFd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!node.fd_.valid()) {
    return errno == ENOENT ? GrantError{GrantFault::kMissing, 0, path}
                           : GrantError{GrantFault::kCannotOpen, errno, path};
  }
  if (::fstat(node.fd_.get(), &node.stat_) != 0) {
    return GrantError{GrantFault::kCannotOpen, errno, path};
  }
  if (S_ISLNK(node.stat_.st_mode)) {
    return GrantError{GrantFault::kLink, 0, path};
  }
  if (!S_ISCHR(node.stat_.st_mode)) {
    return GrantError{GrantFault::kNotDevice, 0, path};
  }

  // The number must be the tty of that name: a node named ttyUSB0 with
  // another tty's number (or a pseudo-terminal's) is not taken on its word.
  std::error_code ec;
  const fs::path byNumber =
      fs::canonical("/sys/dev/char/" + std::to_string(major(node.stat_.st_rdev)) + ":" +
                        std::to_string(minor(node.stat_.st_rdev)),
                    ec);
  const fs::path byName = ec ? fs::path() : fs::canonical("/sys/class/tty/" + name, ec);
  if (ec || byNumber != byName) {
    return GrantError{GrantFault::kNotTty, 0, path};
  }
  // Whoever may read a console reads what is typed there, logins included.
  const std::optional<bool> console = IsConsole(name);
  if (!console) {
    return GrantError{GrantFault::kConsoleUnknown, errno, path};  // refused: it may be one
  }
  if (*console) {
    return GrantError{GrantFault::kConsole, 0, path};
  }
  node.device_ = fs::canonical(byName / "device", ec);
  if (ec) {
    return GrantError{GrantFault::kNoDevice, 0, path};
  }
  // The 8250 driver lists its slots whether or not a UART is there.
  if (ReadAttribute(byName / "type") == std::optional<std::string>("0")) {
    return GrantError{GrantFault::kNoUart, 0, path};
  }
  return std::nullopt;
}

std::string SerialNode::path() const {
  return "/proc/self/fd/" + std::to_string(fd_.get());
}

std::optional<UsbModel> SerialNode::FindUsbModel() const {
  for (fs::path dir = device_; dir.has_relative_path() && dir != "/sys/devices";
       dir = dir.parent_path()) {
    std::error_code ec;
    if (fs::exists(dir / "idVendor", ec)) {
      std::optional<std::string> vendor = UsbId(dir / "idVendor");
      std::optional<std::string> product = UsbId(dir / "idProduct");
      if (!vendor || !product) {
        return std::nullopt;
      }
      return UsbModel{*vendor, *product};
    }
  }
  return std::nullopt;
}

std::string GrantLasts(bool usbAdapter) {
  return usbAdapter ? "until it is unplugged or the computer restarts"
                    : "until the computer restarts";
}

}  // namespace tevra
