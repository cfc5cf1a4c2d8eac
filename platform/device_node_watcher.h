#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plug_identity.h"
#include "platform/unique_fd.h"

namespace tevra {

// The names of serial adapters as the file system shows them appear and
// disappear, for a flashing station: the device nodes ttyUSB<n> and
// ttyACM<n> in a device directory (/dev) and the COM<n> links of the ports
// directory. Names only: what is a plug is the station's to decide. inotify, no polling: fd() turns
// readable when something changed, for the caller's poll loop, and Take()
// reads it.
//
// The device directory must exist. The ports directory may not (yet), or
// may be removed later: its nearest existing parent is watched until it
// appears, and the links in it then count as appearing (a folder above it
// renamed while it is watched goes unnoticed). When the kernel's
// event queue overflows, both directories are read again and what differs
// from what was known is reported: a name that went, came, or is another
// plug now (its PlugIdentity changed), so a replug whose events were dropped
// still comes out as gone, then appeared. Each appearance is a new plug.
//
// Not thread-safe; one caller.
class DeviceNodeWatcher {
 public:
  struct Change {
    bool appeared = false;  // false: gone
    std::string path;       // "<dev>/ttyUSB0", "<ports>/COM5"
    // As seen when the change was read (appeared) or last seen (gone); none
    // when the name was already gone again.
    std::optional<PlugIdentity> identity;
  };

  DeviceNodeWatcher(const std::string& devDir, const std::string& portsDir);
  DeviceNodeWatcher(const DeviceNodeWatcher&) = delete;
  DeviceNodeWatcher& operator=(const DeviceNodeWatcher&) = delete;
  ~DeviceNodeWatcher() = default;

  // False (errno set) when the device directory could not be watched.
  bool valid() const { return devWd_ >= 0; }
  int fd() const { return fd_.get(); }
  // The ports directory as the paths reported name it (absolute).
  const std::string& portsDir() const { return portsDir_; }

  // What is there now, as paths, known from here on; empty while invalid.
  std::vector<std::string> Present() const;
  // What changed since the last call, in order; reads all fd() holds.
  std::vector<Change> Take();

  // ttyUSB<digits> or ttyACM<digits>.
  static bool IsAdapterNode(std::string_view name);

 private:
  // Watches the ports directory, or its nearest existing parent meanwhile;
  // links found in a directory watched anew are reported as appeared.
  void ArmPortsDir(std::vector<Change>& changes);
  void DisarmPortsDir(std::vector<Change>& changes);
  // Reads both directories again and reports the difference from known_.
  void Rescan(std::vector<Change>& changes);
  using Known = std::map<std::string, std::optional<PlugIdentity>>;
  Known Scan(bool ports) const;
  void Note(bool appeared, const std::string& path, std::vector<Change>& changes);

  std::string devDir_;
  std::string portsDir_;
  UniqueFd fd_;
  int devWd_ = -1;
  int portsWd_ = -1;
  int parentWd_ = -1;
  Known known_;
};

}  // namespace tevra
