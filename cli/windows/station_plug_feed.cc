#include "cli/station_plug_feed.h"

#include <cerrno>

namespace tevra {

// Windows names no adapters in a folder to watch: a station cannot start.
struct StationPlugFeed::Parts {};

StationPlugFeed::StationPlugFeed(std::chrono::milliseconds /*settle*/) {
  errno = ENOSYS;
}

StationPlugFeed::~StationPlugFeed() = default;

bool StationPlugFeed::valid() const {
  return false;
}

const std::string& StationPlugFeed::portsDir() const {
  static const std::string none;
  return none;
}

std::vector<Waitable> StationPlugFeed::waitables() const {
  return {};
}

StationPlugFeed::Id StationPlugFeed::Named(const PortTarget& /*target*/) {
  return 0;
}

void StationPlugFeed::Ended(Id /*id*/) {}

std::optional<StationPlugFeed::Clock::time_point> StationPlugFeed::NextDue() const {
  return std::nullopt;
}

std::size_t StationPlugFeed::waiting() const {
  return 0;
}

void StationPlugFeed::OnChanges(Clock::time_point /*now*/) {}

std::vector<std::pair<StationPlugFeed::Id, PortTarget>> StationPlugFeed::TakeReady(
    Clock::time_point /*now*/, std::size_t /*room*/) {
  return {};
}

}  // namespace tevra
