#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "access/grant_error.h"
#include "access/model_rule.h"
#include "platform/unique_fd.h"

namespace tevra {

// A serial adapter's device node /dev/NAME, held by an O_PATH descriptor:
// never opened for reading or writing (opening a serial port toggles DTR,
// which resets some boards), never reached through a link. Whatever acts
// on it goes through path(), so it acts on the very node that was checked.
class SerialNode {
 public:
  // Accepts only a character device directly in /dev whose number the
  // kernel lists as the tty NAME with a device behind it, not an 8250 slot
  // without a UART, and no console (kGrantRule): no terminal,
  // pseudo-terminal or link.
  static std::optional<GrantError> Open(const std::string& path, SerialNode& node);

  const std::string& devPath() const { return devPath_; }
  const std::string& name() const { return name_; }
  mode_t mode() const { return stat_.st_mode; }
  // /proc/self/fd/N: the checked node for getxattr and setxattr.
  std::string path() const;
  // The ids of the nearest USB device above the tty; nullopt for a UART.
  std::optional<UsbModel> FindUsbModel() const;

 private:
  UniqueFd fd_;
  std::string devPath_;
  std::string name_;
  struct stat stat_ {};
  std::filesystem::path device_;
};

// How long a grant on a node holds: an ACL lives on the node, which goes
// when a USB adapter is unplugged and when the computer restarts.
std::string GrantLasts(bool usbAdapter);

}  // namespace tevra
