// The comm device's members that are the same on every system: they keep
// to the input queue and the state the backends (linux/, windows/) fill.
#include "platform/comm_device.h"

#include <cerrno>

namespace tevra {

bool CommDevice::TakeGoneNotice() {
  return gone_.load() && !goneSaid_.exchange(true);
}

void CommDevice::ResetState(std::size_t capacity) {
  queue_.Reset(capacity);
  mask_ = 0;
  gone_ = false;
  goneSaid_ = false;
  goneReported_ = false;
  history_ = 0;
}

bool CommDevice::SetCommMask(std::uint32_t mask) {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  mask_ = mask;
  return true;
}

void CommDevice::MarkGone() {
  gone_.store(true);
  queue_.Raise(CE_IOE);
}

bool CommDevice::ClearCommError(std::uint32_t* errors, std::uint32_t* inQueue) {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  std::size_t waiting = 0;
  const std::uint32_t bits = queue_.ClearErrors(&waiting);
  if (errors != nullptr) {
    *errors = bits;
  }
  if (inQueue != nullptr) {
    *inQueue = static_cast<std::uint32_t>(waiting);
  }
  return true;
}

bool CommDevice::ReadFile(void* dst, std::uint32_t len, std::uint32_t& read) {
  read = 0;
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  if (dst == nullptr && len > 0) {
    errno = EINVAL;
    return false;
  }
  read = static_cast<std::uint32_t>(queue_.Take(static_cast<std::uint8_t*>(dst), len));
  return true;
}

}  // namespace tevra
