#include "cli/port_targets.h"

namespace tevra {

DeviceIdentity DeviceIdentity::Of(const struct stat& st) {
  if (S_ISCHR(st.st_mode)) {
    return {true, st.st_rdev, 0, 0};
  }
  return {false, 0, st.st_dev, st.st_ino};
}

bool DeviceIdentity::operator==(const DeviceIdentity& other) const {
  return character == other.character &&
         (character ? rdev == other.rdev : dev == other.dev && ino == other.ino);
}

}  // namespace tevra
