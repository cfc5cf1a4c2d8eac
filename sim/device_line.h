#pragma once

#include <string>

namespace tevra::sim {

// The device's end of a line: one non-blocking descriptor the simulator reads
// the updater's bytes from and writes its answers to.
class DeviceLine {
 public:
  DeviceLine() = default;
  DeviceLine(const DeviceLine&) = delete;
  DeviceLine& operator=(const DeviceLine&) = delete;
  virtual ~DeviceLine() = default;

  virtual int fd() const = 0;
  // Bytes written here that the other side has not taken yet; -1 on error.
  virtual int UnreadByPeer() const = 0;
  // Ends the line; the other side sees a hang-up.
  virtual void Close() = 0;
  // What the line is, for people: a device path or a socket path.
  virtual std::string Name() const = 0;
};

}  // namespace tevra::sim
