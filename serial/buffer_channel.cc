#include "serial/buffer_channel.h"

#include <algorithm>
#include <cstring>

namespace tevra {

// Both channels live in this one translation unit so that their order of
// construction (Rx first) and of destruction (Tx first) is fixed.
BufferChannel RxChannel;
BufferChannel TxChannel;

BufferChannel::BufferChannel() noexcept {
  records_.reserve(kPreallocated);
  for (std::size_t i = 0; i < kPreallocated; ++i) {
    pool_.push_back(AllocateLocked());
  }
}

SerialBuffer* BufferChannel::AllocateLocked() {
  records_.push_back(std::make_unique<SerialBuffer>());
  return records_.back().get();
}

SerialBuffer* BufferChannel::TakeFree() {
  const std::lock_guard lock(mutex_);
  if (pool_.empty()) {
    return AllocateLocked();
  }
  SerialBuffer* record = pool_.front();
  pool_.pop_front();
  return record;
}

void BufferChannel::Append(SerialBuffer* record, RecordOrigin origin) {
  const std::lock_guard lock(mutex_);
  pending_.push_back({record, origin});
}

SerialBuffer* BufferChannel::RemoveHead(RecordOrigin* origin) {
  const std::lock_guard lock(mutex_);
  if (pending_.empty()) {
    return nullptr;
  }
  const Pending head = pending_.front();
  pending_.pop_front();
  if (origin != nullptr) {
    *origin = head.origin;
  }
  return head.record;
}

void BufferChannel::Return(SerialBuffer* record) {
  const std::lock_guard lock(mutex_);
  pool_.push_back(record);
}

void BufferChannel::Reset() {
  const std::lock_guard lock(mutex_);
  for (const Pending& p : pending_) {
    pool_.push_back(p.record);
  }
  pending_.clear();
}

bool BufferChannel::Put(const void* data, std::uint32_t len, RecordOrigin origin) {
  if (len > SerialBuffer::kMaxLength || (data == nullptr && len != 0)) {
    return false;
  }
  SerialBuffer* record = TakeFree();
  record->length = len;
  if (len != 0) {
    std::memcpy(record->data, data, len);
  }
  record->data[len] = 0;
  Append(record, origin);
  return true;
}

bool BufferChannel::Get(void* dst, std::uint32_t& size, RecordOrigin* origin) {
  if (dst == nullptr && size != 0) {
    return false;
  }
  SerialBuffer* record = RemoveHead(origin);
  if (record == nullptr) {
    return false;
  }
  const std::uint32_t count = std::min(record->length + 1, size);
  if (count != 0) {
    std::memcpy(dst, record->data, count);
  }
  size = count;
  Return(record);
  return true;
}

std::size_t BufferChannel::PendingCount() const {
  const std::lock_guard lock(mutex_);
  return pending_.size();
}

std::size_t BufferChannel::FreeCount() const {
  const std::lock_guard lock(mutex_);
  return pool_.size();
}

}  // namespace tevra
