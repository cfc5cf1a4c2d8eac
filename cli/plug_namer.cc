#include "cli/plug_namer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tevra {

PlugNamer::PlugNamer(Make make)
    : make_(std::move(make)), wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void PlugNamer::Request(Id id, const std::string& path) {
  ++pending_;
  std::erase_if(namings_, [](const Naming& naming) { return naming.done.load(); });
  Naming& naming = namings_.emplace_back();
  try {
    naming.thread = std::jthread([this, &naming, id, path](std::stop_token stop) {
      Made(id, make_(path, std::move(stop)));
      naming.done = true;
    });
  } catch (const std::system_error&) {
    std::stop_source now;
    now.request_stop();
    Made(id, make_(path, now.get_token()));
    naming.done = true;
  }
}

void PlugNamer::Made(Id id, PortTarget target) {
  {
    const std::lock_guard lock(mutex_);
    made_.emplace_back(id, std::move(target));
  }
  const std::uint64_t one = 1;
  // Only a full counter (never reached) refuses; Take reads it anyway.
  (void)!::write(wake_.get(), &one, sizeof one);
}

std::vector<std::pair<PlugNamer::Id, PortTarget>> PlugNamer::Take() {
  std::uint64_t count = 0;
  (void)!::read(wake_.get(), &count, sizeof count);  // EAGAIN: nothing new
  std::vector<std::pair<Id, PortTarget>> made;
  {
    const std::lock_guard lock(mutex_);
    made.swap(made_);
  }
  pending_ -= made.size();
  return made;
}

}  // namespace tevra
