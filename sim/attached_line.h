#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/unique_fd.h"
#include "sim/device_line.h"

namespace tevra::sim {

// A device end on a line that exists already: a connection to a unix socket
// (a virtual machine's serial or USB-serial adapter listens there) or a tty
// such as a USB gadget's /dev/ttyGS0.
class AttachedLine : public DeviceLine {
 public:
  // Connects to the socket at path, retrying while it is not there yet or
  // refuses, for at most `wait`. nullptr with a reason in *error on failure.
  static std::unique_ptr<AttachedLine> ConnectSocket(const std::string& path,
                                                     std::chrono::milliseconds wait,
                                                     std::string* error);
  // Opens the tty at path in raw mode. A tty that refuses some settings (a
  // gadget end keeps its own) is accepted as long as no byte gets altered:
  // no echo, no line editing, no translation.
  static std::unique_ptr<AttachedLine> OpenTty(const std::string& path, std::string* error);

  int fd() const override { return fd_.get(); }
  int UnreadByPeer() const override;
  void Close() override;
  std::string Name() const override { return path_; }

 private:
  AttachedLine(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  UniqueFd fd_;
  std::string path_;
};

}  // namespace tevra::sim
