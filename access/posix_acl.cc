#include "access/posix_acl.h"

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>

namespace tevra {
namespace {

constexpr char kAttribute[] = "system.posix_acl_access";
constexpr std::uint32_t kVersion = 2;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kEntrySize = 8;

std::uint32_t LittleEndian(const std::string& bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i > 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i - 1]);
  }
  return value;
}

void PutLittleEndian(std::string& bytes, std::uint32_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}

bool InGroupClass(std::uint16_t tag) {
  return tag == PosixAcl::kUser || tag == PosixAcl::kGroupObj || tag == PosixAcl::kGroup;
}

}  // namespace

PosixAcl PosixAcl::FromMode(mode_t mode) {
  PosixAcl acl;
  const auto bits = [mode](unsigned shift) {
    return static_cast<std::uint16_t>((mode >> shift) & 7);
  };
  acl.entries_ = {
      {kUserObj, bits(6), kNoId}, {kGroupObj, bits(3), kNoId}, {kOther, bits(0), kNoId}};
  return acl;
}

std::optional<PosixAcl> PosixAcl::Parse(const std::string& bytes) {
  if (bytes.size() < kHeaderSize || (bytes.size() - kHeaderSize) % kEntrySize != 0 ||
      LittleEndian(bytes, 0, 4) != kVersion) {
    return std::nullopt;
  }
  PosixAcl acl;
  for (std::size_t at = kHeaderSize; at < bytes.size(); at += kEntrySize) {
    acl.entries_.push_back({static_cast<std::uint16_t>(LittleEndian(bytes, at, 2)),
                            static_cast<std::uint16_t>(LittleEndian(bytes, at + 2, 2)),
                            LittleEndian(bytes, at + 4, 4)});
  }
  return acl;
}

std::optional<GrantError> PosixAcl::Load(const std::string& path, mode_t mode, PosixAcl& acl) {
  std::string bytes;
  for (;;) {
    const ssize_t size = ::getxattr(path.c_str(), kAttribute, nullptr, 0);
    if (size < 0 && errno == ENODATA) {
      acl = FromMode(mode);
      return std::nullopt;
    }
    if (size < 0) {
      return GrantError{GrantFault::kAclRead, errno, {}};
    }
    bytes.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::getxattr(path.c_str(), kAttribute, bytes.data(), bytes.size());
    if (got >= 0) {
      bytes.resize(static_cast<std::size_t>(got));
      break;
    }
    if (errno != ERANGE) {  // ERANGE: it grew since it was measured
      return GrantError{GrantFault::kAclRead, errno, {}};
    }
  }
  std::optional<PosixAcl> parsed = Parse(bytes);
  if (!parsed) {
    return GrantError{GrantFault::kAclUnknown, 0, {}};
  }
  acl = std::move(*parsed);
  return std::nullopt;
}

void PosixAcl::GrantReadWrite(uid_t uid) {
  std::erase_if(entries_, [uid](const Entry& e) {
    return (e.tag == kUser && e.id == uid) || e.tag == kMask;
  });
  entries_.push_back({kUser, kReadWrite, uid});
  std::uint16_t mask = 0;
  for (const Entry& e : entries_) {
    if (InGroupClass(e.tag)) {
      mask = static_cast<std::uint16_t>(mask | e.perm);
    }
  }
  entries_.push_back({kMask, mask, kNoId});
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return a.tag != b.tag ? a.tag < b.tag : a.id < b.id;
  });
}

bool PosixAcl::AllowsReadWrite(uid_t uid) const {
  const auto has = [this](std::uint16_t tag, std::uint32_t id) {
    return std::any_of(entries_.begin(), entries_.end(), [tag, id](const Entry& e) {
      return e.tag == tag && (tag != kUser || e.id == id) && (e.perm & kReadWrite) == kReadWrite;
    });
  };
  return has(kUser, uid) && has(kMask, kNoId);
}

std::string PosixAcl::Serialize() const {
  std::string bytes;
  PutLittleEndian(bytes, kVersion, 4);
  for (const Entry& e : entries_) {
    PutLittleEndian(bytes, e.tag, 2);
    PutLittleEndian(bytes, e.perm, 2);
    PutLittleEndian(bytes, e.id, 4);
  }
  return bytes;
}

std::optional<GrantError> PosixAcl::Store(const std::string& path) const {
  const std::string bytes = Serialize();
  if (::setxattr(path.c_str(), kAttribute, bytes.data(), bytes.size(), 0) != 0) {
    return GrantError{GrantFault::kAclWrite, errno, {}};
  }
  return std::nullopt;
}

}  // namespace tevra
