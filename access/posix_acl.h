#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "access/grant_error.h"

namespace tevra {

// A POSIX access ACL in the kernel's own form, the extended attribute
// system.posix_acl_access: a little-endian version 2 header, then entries
// {u16 tag, u16 perm, u32 id} sorted by tag, then id. Built by hand so that
// the privileged step needs no library.
class PosixAcl {
 public:
  struct Entry {
    std::uint16_t tag;
    std::uint16_t perm;
    std::uint32_t id;
    bool operator==(const Entry&) const = default;
  };
  static constexpr std::uint16_t kUserObj = 0x01;
  static constexpr std::uint16_t kUser = 0x02;
  static constexpr std::uint16_t kGroupObj = 0x04;
  static constexpr std::uint16_t kGroup = 0x08;
  static constexpr std::uint16_t kMask = 0x10;
  static constexpr std::uint16_t kOther = 0x20;
  static constexpr std::uint16_t kReadWrite = 6;
  static constexpr std::uint32_t kNoId = 0xffffffff;

  // The ACL the permission bits of mode amount to.
  static PosixAcl FromMode(mode_t mode);
  // nullopt when bytes are not a version 2 ACL of whole entries.
  static std::optional<PosixAcl> Parse(const std::string& bytes);
  // The file's ACL, or FromMode(mode) when it has none. path may be a
  // /proc/self/fd/N of an O_PATH descriptor.
  static std::optional<GrantError> Load(const std::string& path, mode_t mode, PosixAcl& acl);

  // uid's entry becomes exactly rw-, every other entry stays, and the mask
  // becomes the union of the group class so that the entry takes effect.
  void GrantReadWrite(uid_t uid);
  // uid's own entry holds rw and the mask lets both through.
  bool AllowsReadWrite(uid_t uid) const;
  std::string Serialize() const;
  std::optional<GrantError> Store(const std::string& path) const;

  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
};

}  // namespace tevra
