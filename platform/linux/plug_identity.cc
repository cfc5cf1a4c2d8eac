#include "platform/plug_identity.h"

#include <sys/stat.h>

namespace tevra {
namespace {

PlugIdentity::Node NodeOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, S_ISCHR(st.st_mode) ? st.st_rdev : dev_t{0}};
}

}  // namespace

std::optional<PlugIdentity> PlugIdentity::Of(const std::string& path) {
  struct stat own {};
  if (::lstat(path.c_str(), &own) != 0) {
    return std::nullopt;
  }
  PlugIdentity identity;
  identity.name = NodeOf(own);
  if (!S_ISCHR(own.st_mode)) {
    constexpr std::int64_t kNsPerSecond = 1'000'000'000;
    identity.nameChangeNs =
        static_cast<std::int64_t>(own.st_ctim.tv_sec) * kNsPerSecond + own.st_ctim.tv_nsec;
  }
  struct stat end {};
  if (::stat(path.c_str(), &end) == 0) {
    identity.end = NodeOf(end);
  }
  return identity;
}

}  // namespace tevra
