#include "sim/protocol_parser.h"

#include <algorithm>
#include <utility>

#include "download/protocol.h"

namespace tevra::sim {
namespace {

using Arrival = ProtocolParser::Arrival;
using protocol::CMD_BLOCK_HEADER;
using protocol::CMD_ERASE;
using protocol::kCommandSize;

bool IsCommandPrefix(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() > kCommandSize) {
    return false;
  }
  return std::equal(bytes.begin(), bytes.end(), CMD_ERASE.begin()) ||
         std::equal(bytes.begin(), bytes.end(), CMD_BLOCK_HEADER.begin());
}

bool IsErase(const std::vector<std::uint8_t>& bytes) {
  return bytes.size() == kCommandSize && std::equal(bytes.begin(), bytes.end(), CMD_ERASE.begin());
}

Arrival Unknown(std::size_t count) {
  return {Arrival::Kind::kUnknown, {}, count};
}

}  // namespace

std::vector<Arrival> ProtocolParser::Feed(std::span<const std::uint8_t> bytes) {
  std::vector<Arrival> arrived;
  for (const std::uint8_t b : bytes) {
    pending_.push_back(b);
    if (expectBlock_) {
      if (pending_.size() == protocol::BLOCK_SIZE) {
        expectBlock_ = false;
        arrived.push_back({Arrival::Kind::kBlock, std::exchange(pending_, {}), 0});
      }
      continue;
    }
    while (!pending_.empty() && !IsCommandPrefix(pending_)) {
      pending_.erase(pending_.begin());
      ++skipped_;
    }
    if (pending_.size() == kCommandSize) {
      if (skipped_ > 0) {
        arrived.push_back(Unknown(std::exchange(skipped_, 0)));
      }
      const bool erase = IsErase(pending_);
      pending_.clear();
      expectBlock_ = !erase;
      arrived.push_back({erase ? Arrival::Kind::kErase : Arrival::Kind::kHeader, {}, 0});
    }
  }
  return arrived;
}

std::optional<Arrival> ProtocolParser::Silence() {
  if (expectBlock_ && !pending_.empty()) {
    expectBlock_ = false;
    if (IsErase(pending_)) {
      pending_.clear();
      return Arrival{Arrival::Kind::kErase, {}, 0};
    }
    return Arrival{Arrival::Kind::kBlock, std::exchange(pending_, {}), 0};
  }
  skipped_ += pending_.size();
  pending_.clear();
  if (skipped_ == 0) {
    return std::nullopt;
  }
  return Unknown(std::exchange(skipped_, 0));
}

}  // namespace tevra::sim
