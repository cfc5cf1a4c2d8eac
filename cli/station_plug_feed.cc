#include "cli/station_plug_feed.h"

#include "platform/port_numbering.h"
#include "platform/port_resolver.h"
#include "platform/ports_directory.h"

namespace tevra {

StationPlugFeed::StationPlugFeed(std::chrono::milliseconds settle)
    : settle_(settle),
      watcher_(kDevDir, PortsDirectory()),
      namer_([portsDir = watcher_.portsDir()](const std::string& path, std::stop_token stop) {
        PortResolver resolver(portsDir,
                              PortNumbering::ForThisUser({kPlugNamingLockWait, std::move(stop)}));
        return PlugTarget(path, portsDir, resolver);
      }) {
  for (const std::string& path : watcher_.Present()) {
    plugs_.LeaveAlone(path);
  }
}

void StationPlugFeed::OnChanges(Clock::time_point now) {
  for (const DeviceNodeWatcher::Change& change : watcher_.Take()) {
    if (change.appeared) {
      plugs_.Appeared(change.path, now + settle_);
    } else {
      plugs_.Gone(change.path);
    }
  }
}

std::vector<std::pair<StationPlugFeed::Id, PortTarget>> StationPlugFeed::TakeReady(
    Clock::time_point now, std::size_t room) {
  const std::size_t naming = namer_.pending();
  for (const PlugLedger::Due& due : plugs_.TakeDue(now, room > naming ? room - naming : 0)) {
    namer_.Request(due.id, due.path);
  }
  return namer_.Take();
}

}  // namespace tevra
