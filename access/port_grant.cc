#include "access/port_grant.h"

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "access/grant_error.h"
#include "access/posix_acl.h"
#include "access/serial_node.h"
#include "platform/fd_io.h"

namespace tevra {
namespace {

enum class GrantStatus : int { kGranted = 0, kFailed = 1, kRefused = 2 };

int ToInt(GrantStatus status) {
  return static_cast<int>(status);
}

// The line with control characters shown as '?': part of it comes from the
// caller, who should not steer the terminal through a root program.
bool WriteLine(int fd, std::string line) {
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c >= 0 && c < ' '; }, '?');
  std::replace(line.begin(), line.end(), '\x7f', '?');
  line += '\n';
  return WriteAll(fd, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
}

int Say(GrantStatus status, const std::string& cause) {
  (void)WriteLine(STDERR_FILENO,
                  "tevra-updater: --grant-port: " + cause);  // nowhere else to say it
  return ToInt(status);
}

int Fail(const GrantError& error) {
  return Say(IsRefusal(error.fault) ? GrantStatus::kRefused : GrantStatus::kFailed,
             Describe(error));
}

struct Request {
  std::string device;
  bool always = false;
};

// The cause when the command line is not exactly --grant-port DEVICE [--always].
std::optional<std::string> ParseCommandLine(int argc, const char* const* argv, Request& request) {
  const std::vector<std::string_view> args(argv + 2, argv + argc);
  if (args.empty() || args[0].starts_with('-')) {
    return "needs a device: tevra-updater --grant-port /dev/NAME [--always]";
  }
  if (args.size() > 2 || (args.size() == 2 && args[1] != "--always")) {
    return "takes a device and --always only, not \"" + std::string(args.back()) + "\"";
  }
  request.device = args[0];
  request.always = args.size() == 2;
  return std::nullopt;
}

// The user pkexec or sudo ran this for.
std::optional<GrantError> FindUser(uid_t& uid, std::string& name) {
  const char* given = std::getenv("PKEXEC_UID");  // NOLINT(concurrency-mt-unsafe): one thread
  if (given == nullptr) {
    given = std::getenv("SUDO_UID");  // NOLINT(concurrency-mt-unsafe): one thread
  }
  if (given == nullptr) {
    return GrantError{GrantFault::kNoUser, 0, {}};
  }
  const std::string_view text(given);
  if (text.empty() || text.size() > 10 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return GrantError{GrantFault::kBadUid, 0, std::string(text)};
  }
  const unsigned long long value = std::stoull(std::string(text));
  if (value == 0) {
    return GrantError{GrantFault::kRootUser, 0, {}};
  }
  if (value >= static_cast<uid_t>(-1)) {
    return GrantError{GrantFault::kUnknownUser, 0, std::string(text)};
  }
  uid = static_cast<uid_t>(value);
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  int err = 0;
  while ((err = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (std::size_t{1} << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) {
    return GrantError{GrantFault::kUnknownUser, err, std::string(text)};
  }
  name = entry.pw_name;
  return std::nullopt;
}

// Adds the entry and checks, on the node as the kernel now holds it, that it took.
std::optional<GrantError> GrantAccessList(const SerialNode& node, uid_t uid) {
  PosixAcl acl;
  std::optional<GrantError> error = PosixAcl::Load(node.path(), node.mode(), acl);
  if (!error) {
    acl.GrantReadWrite(uid);
    error = acl.Store(node.path());
  }
  PosixAcl written;
  if (!error) {
    error = PosixAcl::Load(node.path(), node.mode(), written);
  }
  if (!error && !written.AllowsReadWrite(uid)) {
    error = GrantError{GrantFault::kAclNotThere, 0, {}};
  }
  if (error) {
    error->subject = node.devPath();
  }
  return error;
}

void Log(const std::string& line) {
  ::openlog("tevra-updater", LOG_PID, LOG_AUTHPRIV);
  ::syslog(LOG_NOTICE, "%s", line.c_str());
  ::closelog();
}

}  // namespace

int GrantPortMain(int argc, const char* const* argv) {
  Request request;
  if (const std::optional<std::string> cause = ParseCommandLine(argc, argv, request)) {
    return Say(GrantStatus::kRefused, *cause);
  }
  if (::geteuid() != 0) {
    return Fail({GrantFault::kNotRoot, 0, {}});
  }
  uid_t uid = 0;
  std::string user;
  if (const std::optional<GrantError> error = FindUser(uid, user)) {
    return Fail(*error);
  }
  SerialNode node;
  if (const std::optional<GrantError> error = SerialNode::Open(request.device, node)) {
    return Fail(*error);
  }
  std::optional<UsbModel> model = node.FindUsbModel();
  const bool usb = model.has_value();
  if (!request.always) {
    model.reset();
  } else if (!usb) {
    return Fail({GrantFault::kNoUsbIds, 0, node.devPath()});
  }

  if (const std::optional<GrantError> error = GrantAccessList(node, uid)) {
    return Fail(*error);
  }
  std::string granted = "user " + user + " (uid " + std::to_string(uid) + ") may read and write " +
                        node.devPath() + " " + GrantLasts(usb);
  if (model) {
    const std::string ids = model->vendor + ":" + model->product;
    if (const std::optional<GrantError> error = WriteModelRule(*model)) {
      Log(granted + "; the rule for USB adapters " + ids + " was not written");
      return Fail(*error);
    }
    granted += ", and any USB adapter " + ids + " at the desk whenever plugged in (" +
               ModelRulePath(*model) + ")";
    if (!ApplyUdevRules(node.name())) {
      (void)Say(GrantStatus::kGranted,
                "udev did not reload its rules now (is it running?): the rule applies once udev "
                "loads it");
    }
  }
  Log(granted);
  if (!WriteLine(STDOUT_FILENO, "tevra-updater: " + granted)) {
    return Say(GrantStatus::kFailed, "granted, but cannot write to standard output");
  }
  return ToInt(GrantStatus::kGranted);
}

}  // namespace tevra
