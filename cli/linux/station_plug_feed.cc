#include "cli/station_plug_feed.h"

#include "cli/plug_ledger.h"
#include "cli/plug_namer.h"
#include "platform/device_node_watcher.h"
#include "platform/port_numbering.h"
#include "platform/port_resolver.h"
#include "platform/ports_directory.h"

namespace tevra {

struct StationPlugFeed::Parts {
  explicit Parts(std::chrono::milliseconds settleTime)
      : settle(settleTime),
        watcher(kDevDir, PortsDirectory()),
        namer([portsDir = watcher.portsDir()](const std::string& path, std::stop_token stop) {
          PortResolver resolver(portsDir,
                                PortNumbering::ForThisUser({kPlugNamingLockWait, std::move(stop)}));
          return PlugTarget(path, portsDir, resolver);
        }) {}

  std::chrono::milliseconds settle;
  DeviceNodeWatcher watcher;
  PlugLedger plugs;
  PlugNamer namer;  // last: its requests end before what they use goes
};

StationPlugFeed::StationPlugFeed(std::chrono::milliseconds settle)
    : parts_(std::make_unique<Parts>(settle)) {
  for (const std::string& path : parts_->watcher.Present()) {
    parts_->plugs.LeaveAlone(path);
  }
}

StationPlugFeed::~StationPlugFeed() = default;

bool StationPlugFeed::valid() const {
  return parts_->watcher.valid() && parts_->namer.valid();
}

const std::string& StationPlugFeed::portsDir() const {
  return parts_->watcher.portsDir();
}

std::vector<Waitable> StationPlugFeed::waitables() const {
  return {parts_->watcher.fd(), parts_->namer.fd()};
}

StationPlugFeed::Id StationPlugFeed::Named(const PortTarget& target) {
  return parts_->plugs.Named(target.path, target.identity);
}

void StationPlugFeed::Ended(Id id) {
  parts_->plugs.Ended(id);
}

std::optional<StationPlugFeed::Clock::time_point> StationPlugFeed::NextDue() const {
  return parts_->plugs.NextDue();
}

std::size_t StationPlugFeed::waiting() const {
  return parts_->plugs.settling() + parts_->namer.pending();
}

void StationPlugFeed::OnChanges(Clock::time_point now) {
  for (const DeviceNodeWatcher::Change& change : parts_->watcher.Take()) {
    if (change.appeared) {
      parts_->plugs.Appeared(change.path, now + parts_->settle);
    } else {
      parts_->plugs.Gone(change.path);
    }
  }
}

std::vector<std::pair<StationPlugFeed::Id, PortTarget>> StationPlugFeed::TakeReady(
    Clock::time_point now, std::size_t room) {
  const std::size_t naming = parts_->namer.pending();
  for (const PlugLedger::Due& due : parts_->plugs.TakeDue(now, room > naming ? room - naming : 0)) {
    parts_->namer.Request(due.id, due.path);
  }
  return parts_->namer.Take();
}

}  // namespace tevra
