#include "cli/plug_ledger.h"

#include <sys/stat.h>

#include <algorithm>

namespace tevra {
namespace {

std::optional<DeviceIdentity> IdentityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  return DeviceIdentity::Of(st);
}

}  // namespace

PlugLedger::Plug& PlugLedger::Add(const std::string& path, State state) {
  plugs_.push_back(Plug{nextId_++, path, state, {}, {}, true});
  return plugs_.back();
}

void PlugLedger::LeaveAlone(const std::string& path) {
  Add(path, State::kLeftAlone).identity = IdentityOf(path);
}

PlugLedger::Id PlugLedger::Named(const std::string& path, std::optional<DeviceIdentity> identity) {
  Plug& plug = Add(path, State::kRunning);
  plug.identity = identity;
  plug.present = !path.empty();
  return plug.id;
}

void PlugLedger::Appeared(const std::string& path, Clock::time_point due) {
  Add(path, State::kSettling).due = due;
}

void PlugLedger::Gone(const std::string& path) {
  std::optional<DeviceIdentity> identity;
  for (Plug& plug : plugs_) {
    if (plug.present && plug.path == path) {
      plug.present = false;
      identity = identity ? identity : plug.identity;
    }
  }
  // The device's other names are unplugged with it.
  for (Plug& plug : plugs_) {
    if (identity && plug.present && plug.identity == identity) {
      plug.present = false;
    }
  }
  Prune();
}

void PlugLedger::Ended(Id id) {
  for (Plug& plug : plugs_) {
    if (plug.id == id) {
      plug.state = State::kEnded;
    }
  }
  Prune();
}

void PlugLedger::Prune() {
  std::erase_if(plugs_, [](const Plug& p) { return !p.present && p.state != State::kRunning; });
}

std::optional<PlugLedger::Clock::time_point> PlugLedger::NextDue() const {
  std::optional<Clock::time_point> next;
  for (const Plug& plug : plugs_) {
    if (plug.state == State::kSettling && (!next || plug.due < *next)) {
      next = plug.due;
    }
  }
  return next;
}

std::vector<PlugLedger::Due> PlugLedger::TakeDue(Clock::time_point now, std::size_t room) {
  std::vector<Due> due;
  for (Plug& plug : plugs_) {
    if (plug.state != State::kSettling || plug.due > now) {
      continue;
    }
    plug.identity = IdentityOf(plug.path);
    // Only a running download makes it the same plug, whatever became of its
    // name meanwhile (a link made again with `ln -sf`); a name left from an
    // earlier plug may lead to a node the kernel has given to a new device.
    const bool another = std::any_of(plugs_.begin(), plugs_.end(), [&plug](const Plug& other) {
      return &other != &plug && other.state == State::kRunning && other.identity == plug.identity;
    });
    if (!plug.identity || another || due.size() >= room) {
      plug.state = State::kLeftAlone;
      plug.present = plug.identity.has_value();  // a name leading nowhere is as good as gone
      continue;
    }
    plug.state = State::kRunning;
    due.push_back({plug.id, plug.path, *plug.identity});
  }
  Prune();
  return due;
}

std::size_t PlugLedger::settling() const {
  return static_cast<std::size_t>(std::count_if(
      plugs_.begin(), plugs_.end(), [](const Plug& p) { return p.state == State::kSettling; }));
}

}  // namespace tevra
