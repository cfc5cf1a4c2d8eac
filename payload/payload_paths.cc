#include "payload/payload_paths.h"

#include "platform/user_directory.h"

namespace tevra {

std::string PayloadDirectory(std::string* problem) {
  return UserDirectory(UserDirectoryUse::kRun, problem);
}

std::string CacheDirectory(std::string* problem) {
  return UserDirectory(UserDirectoryUse::kKept, problem);
}

std::string SelfExecutablePath() {
  return OwnProgramPath();
}

}  // namespace tevra
