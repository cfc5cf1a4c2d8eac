#include "access/serial_node.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <system_error>

namespace tevra {
namespace {

namespace fs = std::filesystem;

// A small sysfs attribute, its trailing newline dropped; nullopt when unreadable.
std::optional<std::string> ReadAttribute(const fs::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return std::nullopt;
  }
  std::string text(64, '\0');
  ssize_t n = -1;
  do {
    n = ::read(fd.get(), text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return std::nullopt;
  }
  text.resize(static_cast<std::size_t>(n));
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
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
