#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/port_resolver.h"

namespace tevra {

// The device a name leads to, as the kernel knows it: a character device by
// its device number (st_rdev), anything else by file (st_dev and st_ino).
// Two names of one device have equal identities, whatever links lie between.
struct DeviceIdentity {
  bool character = false;
  dev_t rdev = 0;
  dev_t dev = 0;
  ino_t ino = 0;

  static DeviceIdentity Of(const struct stat& st);
  bool operator==(const DeviceIdentity& other) const;
};

// One --port, resolved once for the whole run.
struct PortTarget {
  std::string name;    // as given: "COMn" or an absolute path
  std::string path;    // what to open; empty when nothing is there
  std::string cause;   // when path is empty: why, for a person
  std::string device;  // where path's links end (/dev/ttyUSB0), for a person; else path
  // None when path could not be looked at (missing, no permission): opening
  // it will say why.
  std::optional<DeviceIdentity> identity;
  // What sysfs says of device (USB ids and strings); none for pseudo-terminals.
  // Initialized here, so brace initializers may leave it out.
  std::optional<SerialDevice> adapter{};
};

// The one way a port's target is made, for a named port and a plugged
// adapter alike: name as a person sees it, path as resolved (empty: cause
// says why), then where its links end, its identity and its USB data.
PortTarget MakePortTarget(std::string name, PortResolver::Resolved resolved,
                          const PortResolver& resolver);
// An adapter that appeared at path: named COMn when it is a link of the ports
// directory or the numbering gives it a number, else by its path.
PortTarget PlugTarget(const std::string& path, const std::string& portsDir, PortResolver& resolver);

// Resolves every name once, in order, through resolver.Resolve. Throws
// UsageError (naming both) when two names lead to one device: COM5 and the
// link it stands for, two links, or a link and its target.
std::vector<PortTarget> ResolvePortTargets(const std::vector<std::string>& names,
                                           PortResolver& resolver);
// The same through PortResolver::ForThisUser().
std::vector<PortTarget> ResolvePortTargets(const std::vector<std::string>& names);

}  // namespace tevra
