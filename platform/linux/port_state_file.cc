#include "platform/port_state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

using Entries = PortStateFile::Entries;

constexpr const char* kName = "ports";
constexpr const char* kHeader =
    "# tevra-updater: COM<n> <scan that saw it last> <adapter>, the 64 adapters seen last\n";
constexpr const char* kNotRemembered =
    ": COM numbers come from what is plugged in and are not remembered";
// Keeps a stamp + 1 far from overflowing.
constexpr std::uint64_t kMaxSeen = std::uint64_t{1} << 62U;

// Paths, device names and keys come from outside the program.
void Say(const std::string& line) {
  Diagnose(Printable(line));
}

std::string ErrorText(int error) {
  return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): messages only
}

template <typename T>
bool ParseNumber(std::string_view s, T& n) {
  if (s.empty() || s.front() < '0' || s.front() > '9' || (s.size() > 1 && s.front() == '0')) {
    return false;
  }
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  return ec == std::errc() && end == s.data() + s.size();
}

// 0 when every line is good, else the number of the first bad one.
std::size_t Parse(const std::string& text, Entries& entries) {
  std::istringstream in(text);
  std::size_t lineNo = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    if (line.empty() || line.front() == '#') {
      continue;
    }
    std::istringstream wordsIn(line);
    std::vector<std::string> w;
    for (std::string word; wordsIn >> word;) {
      w.push_back(std::move(word));
    }
    RememberedPort r;
    const bool ok =
        (w.size() == 2 || w.size() == 3) && w[0].starts_with("COM") &&
        ParseNumber(std::string_view(w[0]).substr(3), r.number) && r.number != 0 &&
        (w.size() == 2 || (ParseNumber(std::string_view(w[1]), r.seen) && r.seen < kMaxSeen));
    if (!ok || !entries.emplace(w.back(), r).second) {
      return lineNo;
    }
  }
  return 0;
}

const char* Kind(mode_t mode) {
  if (S_ISDIR(mode)) {
    return "a directory";
  }
  if (S_ISFIFO(mode)) {
    return "a FIFO";
  }
  if (S_ISCHR(mode) || S_ISBLK(mode)) {
    return "a device";
  }
  return S_ISSOCK(mode) ? "a socket" : "an unknown kind of file";
}

struct Loaded {
  Entries entries;
  bool usable = true;  // false: numbered from what is plugged in, nothing written
  bool readOnly = false;
};

Loaded Read(int dirFd, const std::string& file) {
  Loaded state;
  // O_NONBLOCK: a FIFO or a device there cannot hold up the open.
  const UniqueFd fd(::openat(dirFd, kName, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  const int openError = fd.valid() ? 0 : errno;
  if (openError == ENOENT) {
    return state;  // nothing seen yet
  }
  struct stat st {};
  std::string trouble;
  if (openError == ELOOP) {
    trouble = file + " is a link, not a regular file";
  } else if (openError != 0) {
    trouble = "cannot read " + file + " (" + ErrorText(openError) + ")";
  } else if (::fstat(fd.get(), &st) != 0) {
    trouble = "cannot read " + file + " (" + ErrorText(errno) + ")";
  } else if (!S_ISREG(st.st_mode)) {
    trouble = file + " is " + Kind(st.st_mode) + ", not a regular file";
  }
  std::string damage;
  if (trouble.empty()) {
    state.readOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    if (static_cast<std::size_t>(st.st_size) > PortStateFile::kMaxSize) {
      damage = " is larger than 256 KiB";
    } else if (std::string text(static_cast<std::size_t>(st.st_size), '\0');
               !ReadExactly(fd.get(), reinterpret_cast<std::uint8_t*>(text.data()), text.size())) {
      trouble = "cannot read " + file + " (" + ErrorText(errno) + ")";
    } else if (const std::size_t bad = Parse(text, state.entries); bad != 0) {
      damage = " is damaged at line " + std::to_string(bad);
    }
  }
  if (trouble.empty() && damage.empty()) {
    return state;
  }
  state.entries.clear();
  // Kept for whoever wants to look; the numbering starts afresh.
  const std::string aside = std::string(kName) + ".damaged";
  if (trouble.empty() && !state.readOnly && ::renameat(dirFd, kName, dirFd, aside.c_str()) == 0) {
    Say(file + damage + ": moved to " + file + ".damaged, COM numbers start afresh");
    return state;
  }
  Say((trouble.empty() ? file + damage : trouble) + kNotRemembered);
  state.usable = false;
  return state;
}

// The lines to write: the kMaxAdapters seen last (of equals, the first keys),
// in the order of their numbers.
std::string Text(const Entries& entries) {
  std::vector<const Entries::value_type*> kept;
  kept.reserve(entries.size());
  for (const auto& entry : entries) {
    kept.push_back(&entry);
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const auto* a, const auto* b) { return a->second.seen > b->second.seen; });
  kept.resize(std::min(kept.size(), PortStateFile::kMaxAdapters));
  std::sort(kept.begin(), kept.end(), [](const auto* a, const auto* b) {
    return std::tie(a->second.number, a->first) < std::tie(b->second.number, b->first);
  });
  std::string text = kHeader;
  for (const auto* e : kept) {
    text += "COM" + std::to_string(e->second.number) + " " + std::to_string(e->second.seen) + " " +
            e->first + "\n";
  }
  return text;
}

// A temporary file renamed over the old one: a reader never sees half a file.
bool Write(int dirFd, const std::string& file, const std::string& text) {
  std::string tmp = file + ".XXXXXX";
  UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd.valid()) {
    return false;
  }
  // Some filesystems cannot sync a directory (EINVAL); the rename stands.
  const bool ok =
      WriteAll(fd.get(), reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) &&
      ::fsync(fd.get()) == 0 && fd.Close() && ::rename(tmp.c_str(), file.c_str()) == 0 &&
      (::fsync(dirFd) == 0 || errno == EINVAL);
  if (!ok) {
    const int error = errno;
    (void)::unlink(tmp.c_str());
    errno = error;
  }
  return ok;
}

enum class Locked { kYes, kBusy, kStopped, kNoLocks };

// Waits for the lock as `wait` says: kBusy when another process held it all
// that time, kStopped when the wait was stopped first.
Locked Lock(int dirFd, const StateLockWait& wait) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + wait.limit;
  std::chrono::milliseconds pause{1};
  // Nothing notifies it: it only sleeps, and wakes at once on a stop.
  std::condition_variable_any sleeper;
  std::mutex mutex;
  while (::flock(dirFd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno != EWOULDBLOCK) {
      return Locked::kNoLocks;
    }
    if (Clock::now() >= deadline) {
      return Locked::kBusy;
    }
    std::unique_lock hold(mutex);
    (void)sleeper.wait_for(hold, wait.stop, pause, [] { return false; });
    if (wait.stop.stop_requested()) {
      return Locked::kStopped;
    }
    pause = std::min(pause * 2, std::chrono::milliseconds{50});
  }
  return Locked::kYes;
}

}  // namespace

PortStateFile::PortStateFile(std::string dir, StateLockWait wait)
    : dir_(std::move(dir)), file_(dir_ + "/" + kName), wait_(std::move(wait)) {}

void PortStateFile::Update(const Assign& assign) const {
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  // The lock goes with the descriptor, so it is released on every return.
  const UniqueFd dirFd(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd.valid()) {
    const int error = errno;
    Entries none;
    if (const std::string what = assign(none); !what.empty()) {
      Say("cannot use " + dir_ + " (" + ErrorText(error) + "): " + what + " is not remembered");
    }
    return;
  }
  // kNoLocks: the filesystem has none (some network ones); the rename still
  // keeps the file whole.
  const Locked locked = Lock(dirFd.get(), wait_);
  if (locked == Locked::kStopped) {
    return;
  }
  const bool mayWrite = locked != Locked::kBusy;
  if (!mayWrite) {
    const auto held = std::chrono::duration_cast<std::chrono::duration<double>>(wait_.limit);
    std::array<char, 16> seconds{};
    (void)std::snprintf(seconds.data(), seconds.size(), "%g", held.count());
    Say("another updater has held the lock on " + dir_ + " for " + seconds.data() +
        " s: COM numbers given now are not remembered");
  }
  Loaded state = Read(dirFd.get(), file_);
  const Entries before = state.entries;
  const std::string what = assign(state.entries);
  if (state.entries == before || !state.usable || !mayWrite) {
    return;
  }
  if (state.readOnly) {
    if (!what.empty()) {
      Say(file_ + " is read-only: " + what + " is not remembered");
    }
  } else if (!Write(dirFd.get(), file_, Text(state.entries))) {
    Say("cannot write " + file_ + " (" + ErrorText(errno) + ")" +
        (what.empty() ? std::string() : ": " + what + " is not remembered"));
  }
}

}  // namespace tevra
