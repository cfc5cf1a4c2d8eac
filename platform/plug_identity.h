#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tevra {

// What tells one plug from the next under the same name: the name's own
// inode and, for anything but a device node, its change time (file systems
// reuse inode numbers at once; a device node's change time moves when udev
// sets its owner and mode), and the node the name ends at, if any. A replug
// makes a new node or a new link, so it changes; opening, chmod or setfacl
// on the node do not.
struct PlugIdentity {
  struct Node {
    dev_t dev = 0;
    ino_t ino = 0;
    dev_t rdev = 0;

    bool operator==(const Node&) const = default;
  };

  Node name;
  std::int64_t nameChangeNs = 0;  // 0 for a device node
  std::optional<Node> end;        // none while the name leads nowhere

  // None when `path` itself is not there (lstat fails).
  static std::optional<PlugIdentity> Of(const std::string& path);
  bool operator==(const PlugIdentity&) const = default;
};

}  // namespace tevra
