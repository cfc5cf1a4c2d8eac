#include "platform/device_node_watcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/port_resolver.h"

namespace tevra {
namespace {

constexpr std::uint32_t kDirMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;
constexpr std::uint32_t kParentMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;
// Steps down towards a ports directory made while it was being watched for.
constexpr int kMaxArmSteps = 16;

std::string Absolute(const std::string& dir) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(dir, error);
  return (error ? std::filesystem::path(dir) : path).lexically_normal().string();
}

std::string Parent(const std::string& dir) {
  const std::string parent = std::filesystem::path(dir).parent_path().string();
  return parent.empty() ? std::string("/") : parent;
}

// The entry of `dir` on the way down to `target` (below it).
std::string StepTowards(const std::string& dir, const std::string& target) {
  const std::size_t start = dir == "/" ? 1 : dir.size() + 1;
  const std::size_t end = target.find('/', start);
  return target.substr(0, end);
}

}  // namespace

DeviceNodeWatcher::DeviceNodeWatcher(const std::string& devDir, const std::string& portsDir)
    : devDir_(Absolute(devDir)),
      portsDir_(Absolute(portsDir)),
      fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (!fd_.valid()) {
    return;
  }
  devWd_ = inotify_add_watch(fd_.get(), devDir_.c_str(), kDirMask);
  if (devWd_ < 0) {
    return;
  }
  known_ = Scan(false);
  std::vector<Change> present;  // there before the watch: no appearance
  ArmPortsDir(present);
}

bool DeviceNodeWatcher::IsAdapterNode(std::string_view name) {
  for (const std::string_view prefix : {"ttyUSB", "ttyACM"}) {
    if (name.size() > prefix.size() && name.starts_with(prefix) &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> DeviceNodeWatcher::Present() const {
  std::vector<std::string> paths;
  for (const auto& [path, identity] : known_) {
    paths.push_back(path);
  }
  return paths;
}

DeviceNodeWatcher::Known DeviceNodeWatcher::Scan(bool ports) const {
  Known found;
  std::error_code error;
  const std::string& dir = ports ? portsDir_ : devDir_;
  for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (ports ? PortResolver::PortNumber(name) != 0 : IsAdapterNode(name)) {
      std::string path = std::string(dir).append("/").append(name);
      std::optional<PlugIdentity> identity = PlugIdentity::Of(path);
      found.emplace(std::move(path), identity);
    }
  }
  return found;
}

void DeviceNodeWatcher::Note(bool appeared, const std::string& path, std::vector<Change>& changes) {
  if (const auto it = known_.find(path); it != known_.end()) {
    changes.push_back({false, path, it->second});
    known_.erase(it);
  }
  if (appeared) {
    const std::optional<PlugIdentity> identity = PlugIdentity::Of(path);
    known_.emplace(path, identity);
    changes.push_back({true, path, identity});
  }
}

void DeviceNodeWatcher::ArmPortsDir(std::vector<Change>& changes) {
  for (int step = 0; step < kMaxArmSteps; ++step) {
    const int wd = inotify_add_watch(fd_.get(), portsDir_.c_str(), kDirMask);
    if (wd >= 0) {
      if (parentWd_ >= 0 && parentWd_ != devWd_ && parentWd_ != wd) {
        (void)inotify_rm_watch(fd_.get(), parentWd_);
      }
      parentWd_ = -1;
      portsWd_ = wd;
      for (const auto& [path, identity] : Scan(true)) {
        if (!known_.contains(path)) {
          Note(true, path, changes);
        }
      }
      return;
    }
    const bool missing = errno == ENOENT;
    std::string dir = portsDir_;
    int parentWd = -1;
    while (parentWd < 0 && dir != "/") {
      dir = Parent(dir);
      parentWd = inotify_add_watch(fd_.get(), dir.c_str(), kParentMask);
    }
    if (parentWd_ >= 0 && parentWd_ != devWd_ && parentWd_ != parentWd) {
      (void)inotify_rm_watch(fd_.get(), parentWd_);
    }
    parentWd_ = parentWd;
    // Made between the two calls: go down again; else its creation wakes us.
    if (parentWd < 0 || !missing || ::access(StepTowards(dir, portsDir_).c_str(), F_OK) != 0) {
      return;
    }
  }
}

void DeviceNodeWatcher::DisarmPortsDir(std::vector<Change>& changes) {
  const std::string prefix = portsDir_ + "/";
  for (auto it = known_.begin(); it != known_.end();) {
    if (it->first.starts_with(prefix)) {
      changes.push_back({false, it->first, it->second});
      it = known_.erase(it);
    } else {
      ++it;
    }
  }
  if (portsWd_ >= 0 && portsWd_ != devWd_) {
    (void)inotify_rm_watch(fd_.get(), portsWd_);  // EINVAL once the kernel dropped it
  }
  portsWd_ = -1;
}

void DeviceNodeWatcher::Rescan(std::vector<Change>& changes) {
  Known now = Scan(false);
  if (portsWd_ >= 0) {
    now.merge(Scan(true));
  }
  // Names alone would miss a replug whose events were dropped.
  const auto same = [](const Known& in, const Known::value_type& entry) {
    const auto it = in.find(entry.first);
    return it != in.end() && it->second == entry.second;
  };
  const Known before = known_;
  for (const auto& entry : before) {
    if (!same(now, entry)) {
      Note(false, entry.first, changes);
    }
  }
  for (const auto& entry : now) {
    if (!same(before, entry)) {
      Note(true, entry.first, changes);
    }
  }
}

std::vector<DeviceNodeWatcher::Change> DeviceNodeWatcher::Take() {
  std::vector<Change> changes;
  if (!fd_.valid()) {
    return changes;
  }
  alignas(inotify_event) std::array<char, 16384> buffer{};
  for (;;) {
    const ssize_t got = ::read(fd_.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;  // EAGAIN: all read
    }
    for (ssize_t at = 0; at < got;) {
      inotify_event event{};
      std::memcpy(&event, buffer.data() + at, sizeof event);
      const std::string name = event.len > 0 ? std::string(buffer.data() + at + sizeof event) : "";
      at += static_cast<ssize_t>(sizeof event + event.len);
      const bool appeared = (event.mask & (IN_CREATE | IN_MOVED_TO)) != 0;
      const bool gone = (event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0;
      if ((event.mask & IN_Q_OVERFLOW) != 0) {
        Rescan(changes);
        continue;
      }
      if (event.wd == devWd_ && (appeared || gone) && IsAdapterNode(name)) {
        Note(appeared, devDir_ + "/" + name, changes);
      }
      if (event.wd == portsWd_) {
        if ((appeared || gone) && PortResolver::PortNumber(name) != 0) {
          Note(appeared, portsDir_ + "/" + name, changes);
        } else if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
          DisarmPortsDir(changes);
          ArmPortsDir(changes);
        }
      }
      if (event.wd == parentWd_ && portsWd_ < 0) {
        ArmPortsDir(changes);
      }
    }
  }
  return changes;
}

}  // namespace tevra
