#include "platform/port_access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/diagnostics.h"

namespace tevra {
namespace {

constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;

// getpwuid_r/getgrgid_r: the window's thread and the command line may ask
// from different threads than whoever else uses the database.
std::string UserName(uid_t uid) {
  std::array<char, 4096> buffer{};
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  std::array<char, 8192> buffer{};
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->gr_name;
  }
  return std::to_string(gid);
}

// The groups the user database gives the user at the next login.
bool ListedInGroup(uid_t uid, gid_t gid) {
  std::array<char, 4096> buffer{};
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  if (found->pw_gid == gid) {
    return true;
  }
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
  }
  groups.resize(static_cast<std::size_t>(count));
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

bool ProcessHasGroup(gid_t gid) {
  if (::getegid() == gid) {
    return true;
  }
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) {
    return false;
  }
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = ::getgroups(count, groups.data());
  groups.resize(static_cast<std::size_t>(std::max(got, 0)));
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// A word a shell takes as it stands, quoted when it would not.
std::string ShellWord(const std::string& word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || c == '/' || c == ':' || c == '@';
  });
  if (plain) {
    return word;
  }
  std::string quoted = "'";
  for (const char c : word) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

std::string Octal(mode_t mode) {
  std::array<char, 8> text{};
  (void)std::snprintf(text.data(), text.size(), "%04o", static_cast<unsigned>(mode));
  return text.data();
}

// The kernel's pseudo-terminal ends (Unix 98 slaves; legacy masters and slaves).
bool PseudoTerminal(dev_t device) {
  const unsigned int number = major(device);
  constexpr unsigned int kLegacyMaster = 2;
  constexpr unsigned int kLegacySlave = 3;
  constexpr unsigned int kFirstUnix98Slave = 136;
  constexpr unsigned int kLastUnix98Slave = 143;
  return number == kLegacyMaster || number == kLegacySlave ||
         (number >= kFirstUnix98Slave && number <= kLastUnix98Slave);
}

// Why an ACL entry cannot be had on the node; reading the attribute needs
// no permission on the node itself.
std::string NoGrant(const std::string& node, const struct stat& st) {
  if (S_ISCHR(st.st_mode) && PseudoTerminal(st.st_rdev)) {
    return Printable(node) + " is a pseudo-terminal, which takes no access list";
  }
  if (::getxattr(node.c_str(), "system.posix_acl_access", nullptr, 0) < 0 &&
      (errno == EOPNOTSUPP || errno == ENOTSUP)) {
    return "the file system of " + Printable(node) + " takes no access list";
  }
  return {};
}

}  // namespace

PortAccess ExaminePortAccess(const std::string& path) {
  PortAccess access;
  access.uid = ::getuid();
  access.user = UserName(access.uid);
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  struct stat st {};
  if (real == nullptr || ::stat(real.get(), &st) != 0) {
    access.node = path;
    return access;
  }
  access.node = real.get();
  access.owner = UserName(st.st_uid);
  access.group = GroupName(st.st_gid);
  access.mode = st.st_mode & 07777;
  access.noGrant = NoGrant(access.node, st);
  if (::access(access.node.c_str(), R_OK | W_OK) == 0) {
    access.verdict = PortAccess::Verdict::kAllowed;
  } else if ((access.mode & kGroupReadWrite) != kGroupReadWrite || st.st_gid == 0) {
    // A root-group node is no group to send a person into.
    access.verdict = PortAccess::Verdict::kOwnerOnly;
  } else if (ListedInGroup(access.uid, st.st_gid) && !ProcessHasGroup(st.st_gid)) {
    access.verdict = PortAccess::Verdict::kGroupNotInSession;
  } else {
    access.verdict = PortAccess::Verdict::kNotInGroup;
  }
  return access;
}

std::string PortAccess::Ownership() const {
  return owner + ":" + group + " " + Octal(mode);
}

std::string PortAccess::Why() const {
  const std::string is = Printable(node) + " is " + Printable(Ownership());
  const std::string you = "you (" + Printable(user) + ")";
  switch (verdict) {
    case Verdict::kAllowed:
      return {};
    case Verdict::kMissing:
      return Printable(node) + " does not exist";
    case Verdict::kNotInGroup:
      return is + " and " + you + " are not in the " + Printable(group) + " group";
    case Verdict::kGroupNotInSession:
      return is + "; " + you + " joined the " + Printable(group) +
             " group after this session began: log out and in again";
    case Verdict::kOwnerOnly:
      return is + ": only " + Printable(owner) + " may use it";
  }
  return {};
}

std::string PortAccess::ForGood() const {
  switch (verdict) {
    case Verdict::kNotInGroup:
      return ForGoodCommand() + ", then log out and in again: the group counts from the next login";
    case Verdict::kGroupNotInSession:
      return "log out and in again: the " + Printable(group) + " group counts from the next login";
    case Verdict::kAllowed:
    case Verdict::kMissing:
    case Verdict::kOwnerOnly:
      break;
  }
  return {};
}

std::string PortAccess::ForGoodCommand() const {
  if (verdict != Verdict::kNotInGroup) {
    return {};
  }
  return "sudo usermod -aG " + ShellWord(group) + " " + ShellWord(user);
}

std::string PortAccess::ThisTimeCommand() const {
  if (verdict == Verdict::kAllowed || verdict == Verdict::kMissing || !noGrant.empty()) {
    return {};
  }
  return "sudo setfacl -m u:" + ShellWord(user) + ":rw " + ShellWord(node);
}

}  // namespace tevra
