#include "access/trusted_program.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace tevra {
namespace {

std::string Mode(mode_t mode) {
  constexpr int kOctalDigits = 4;
  std::string text(kOctalDigits, '0');
  for (int i = kOctalDigits - 1; i >= 0; --i, mode >>= 3U) {
    text[static_cast<std::size_t>(i)] = static_cast<char>('0' + (mode & 7U));
  }
  return text;
}

// Why no user but root cannot change `path` itself; empty when none can.
std::string WhyChangeable(const std::filesystem::path& path, const struct stat& st) {
  if (st.st_uid != 0) {
    return path.string() + " belongs to uid " + std::to_string(st.st_uid) + ", not root";
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return path.string() + " (mode " + Mode(st.st_mode & 07777) + ") may be written by " +
           ((st.st_mode & S_IWOTH) != 0 ? "everyone" : "its group");
  }
  return {};
}

}  // namespace

TrustedProgram TrustedProgram::Check(const std::string& path) {
  TrustedProgram program;
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  if (real == nullptr) {
    program.cause = path + " cannot be found";
    return program;
  }
  program.path = real.get();
  struct stat st {};
  if (::stat(real.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IXUSR) == 0) {
    program.cause = program.path + " is not a program file";
    return program;
  }
  for (std::filesystem::path at = program.path;; at = at.parent_path()) {
    if (::lstat(at.c_str(), &st) != 0) {
      program.cause = at.string() + " cannot be looked at";
      return program;
    }
    program.cause = WhyChangeable(at, st);
    if (!program.cause.empty() || at == at.root_path()) {
      return program;
    }
  }
}

}  // namespace tevra
