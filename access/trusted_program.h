#pragma once

#include <optional>
#include <string>

namespace tevra {

// Whether root may be asked to run the file at `path`: only when no user but
// root can change what root would run. The file (links followed) and every
// folder above it must belong to root and give write to neither group nor
// others (an access list's mask is the group bits, so named entries are
// covered). Otherwise whoever may write there could swap the file while an
// administrator types the password.
struct TrustedProgram {
  std::string path;   // the file, links followed: what pkexec must be given
  std::string cause;  // empty when trusted; else the first reason it is not

  bool trusted() const { return !path.empty() && cause.empty(); }
  static TrustedProgram Check(const std::string& path);
};

}  // namespace tevra
