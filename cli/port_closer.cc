#include "cli/port_closer.h"

#include <algorithm>
#include <system_error>

namespace tevra {

void PortCloser::Close(std::unique_ptr<PortDownload> port) {
  Closing& closing = closing_.emplace_back();
  closing.port = std::move(port);
  try {
    closing.thread = std::jthread([&closing] {
      closing.port->Close();
      closing.done = true;
    });
  } catch (const std::system_error&) {
    closing.port->Close();
    closing.done = true;
  }
}

bool PortCloser::Holds(const DeviceIdentity& device) const {
  return std::any_of(closing_.begin(), closing_.end(), [&device](const Closing& closing) {
    return !closing.done.load() && closing.port->target().identity == device;
  });
}

void PortCloser::Reap() {
  closing_.remove_if([](const Closing& closing) { return closing.done.load(); });
}

}  // namespace tevra
