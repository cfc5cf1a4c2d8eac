#include "platform/input_queue.h"

#include <algorithm>
#include <utility>

#include "platform/comm_bits.h"

namespace tevra {

void InputQueue::Reset(std::size_t capacity) {
  const std::lock_guard lock(mutex_);
  ring_.assign(capacity, 0);
  ring_.shrink_to_fit();
  head_ = 0;
  size_ = 0;
  errors_ = 0;
}

std::size_t InputQueue::Put(const std::uint8_t* data, std::size_t len) {
  const std::lock_guard lock(mutex_);
  const std::size_t kept = std::min(len, ring_.size() - size_);
  for (std::size_t k = 0; k < kept; ++k) {
    ring_[(head_ + size_ + k) % ring_.size()] = data[k];
  }
  size_ += kept;
  if (kept < len) {
    errors_ |= CE_RXOVER;
  }
  return kept;
}

std::size_t InputQueue::Take(std::uint8_t* dst, std::size_t len) {
  const std::lock_guard lock(mutex_);
  const std::size_t take = std::min(len, size_);
  for (std::size_t k = 0; k < take; ++k) {
    dst[k] = ring_[(head_ + k) % ring_.size()];
  }
  head_ = take == size_ ? 0 : (head_ + take) % ring_.size();
  size_ -= take;
  return take;
}

void InputQueue::Raise(std::uint32_t errors) {
  const std::lock_guard lock(mutex_);
  errors_ |= errors;
}

std::uint32_t InputQueue::ClearErrors(std::size_t* waiting) {
  const std::lock_guard lock(mutex_);
  if (waiting != nullptr) {
    *waiting = size_;
  }
  return std::exchange(errors_, 0);
}

}  // namespace tevra
