#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "platform/unique_fd.h"
#include "sim/device_line.h"

namespace tevra::sim {

// The device end of a pseudo-terminal whose slave is published as COMn in a
// ports directory, so that SerialPort opens it like a real adapter.
//
// The slave is put in raw mode at once and one slave descriptor is held open
// (without a lock) so the line survives the updater closing and reopening
// its port. Close() hangs the line up, as an unplugged adapter does.
// Not thread-safe: one thread drives a PtyLink.
class PtyLink : public DeviceLine {
 public:
  PtyLink() = default;
  ~PtyLink() override;

  // Creates the pseudo-terminal and the link portsDir/COM<portNumber>
  // (replacing a stale link; refusing to replace anything but a link, or a
  // link that another live PtyLink, in any process, serves: each holds an
  // flock on portsDir/.COM<portNumber>.lock while it is open).
  // portsDir is created (mode 0700) when missing. On failure returns false
  // with a one-line reason in *error.
  bool Open(int portNumber, const std::string& portsDir, std::string* error);

  // Removes the link and closes both descriptors: the updater's side then
  // sees a hang-up.
  void Close() override;

  // Bytes written to the master that the slave side has not read yet; -1 on
  // error. Bytes still on their way through the kernel may not count yet.
  int SlaveInputPending() const;

  int fd() const override { return master_; }
  int UnreadByPeer() const override { return SlaveInputPending(); }
  std::string Name() const override { return slavePath_; }

  bool IsOpen() const { return master_ >= 0; }
  int master_fd() const { return master_; }
  const std::string& slave_path() const { return slavePath_; }
  const std::string& link_path() const { return linkPath_; }

  // Writes all len bytes, waiting for room at most `timeout`; false on
  // time-out or error (errno kept).
  bool WriteAll(const void* data, std::size_t len, std::chrono::milliseconds timeout);

  // Waits at most `timeout` for bytes, then returns what is there (up to
  // cap); 0 on time-out, -1 on error or hang-up (errno kept).
  long ReadSome(void* dst, std::size_t cap, std::chrono::milliseconds timeout);

 private:
  int master_ = -1;
  int heldSlave_ = -1;
  std::string slavePath_;
  std::string linkPath_;
  UniqueFd lock_;
  std::string lockPath_;
};

}  // namespace tevra::sim
