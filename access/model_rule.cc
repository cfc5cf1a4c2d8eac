#include "access/model_rule.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

constexpr char kRulesDir[] = "/etc/udev/rules.d";

// The directory, made 0755 when missing; never through a link.
UniqueFd OpenRulesDir() {
  for (const char* dir : {"/etc/udev", kRulesDir}) {
    if (::mkdir(dir, 0755) == 0) {
      if (::chmod(dir, 0755) != 0) {  // the umask may have taken bits
        return UniqueFd();
      }
    } else if (errno != EEXIST) {
      return UniqueFd();
    }
  }
  return UniqueFd(::open(kRulesDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Runs udevadm with args, its input and output /dev/null; true when it exited 0.
bool RunUdevadm(const std::vector<std::string>& args) {
  const char* program = nullptr;
  for (const char* candidate : {"/usr/bin/udevadm", "/bin/udevadm"}) {
    if (::access(candidate, X_OK) == 0) {
      program = candidate;
      break;
    }
  }
  if (program == nullptr) {
    return false;
  }
  std::vector<char*> argv{const_cast<char*>(program)};
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
  char* envp[] = {path, nullptr};
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) {
    return false;
  }
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, program, &actions, nullptr, argv.data(), envp);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string ModelRulePath(const UsbModel& model) {
  return std::string(kRulesDir) + "/70-tevra-updater-" + model.vendor + "-" + model.product +
         ".rules";
}

std::string ModelRuleLine(const UsbModel& model) {
  return "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + model.vendor + "\", ATTRS{idProduct}==\"" +
         model.product + "\", TAG+=\"uaccess\"";
}

std::vector<std::string> ModelRuleCommands(const UsbModel& model, const std::string& name) {
  return {"echo '" + ModelRuleLine(model) + "' | sudo tee " + ModelRulePath(model) + " >/dev/null",
          "sudo udevadm control --reload && sudo udevadm trigger --action=change /sys/class/tty/" +
              name};
}

std::optional<GrantError> WriteModelRule(const UsbModel& model) {
  const std::string path = ModelRulePath(model);
  const std::string name = path.substr(sizeof kRulesDir);
  const std::string temp = "." + name + "." + std::to_string(::getpid());
  const std::string text =
      "# Written by tevra-updater --grant-port --always: the user at the desk may use USB serial "
      "adapters " +
      model.vendor + ":" + model.product + ".\n" + ModelRuleLine(model) + "\n";
  const auto failed = [&path](int err) { return GrantError{GrantFault::kRuleWrite, err, path}; };

  UniqueFd dir = OpenRulesDir();
  if (!dir.valid()) {
    return failed(errno);
  }
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd file(::openat(dir.get(), temp.c_str(), flags, 0644));
  if (!file.valid() && errno == EEXIST) {  // left by a run that died; only root writes here
    ::unlinkat(dir.get(), temp.c_str(), 0);
    file = UniqueFd(::openat(dir.get(), temp.c_str(), flags, 0644));
  }
  if (!file.valid()) {
    return failed(errno);
  }
  if (::fchmod(file.get(), 0644) != 0 ||
      !WriteAll(file.get(), reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) ||
      ::fsync(file.get()) != 0 || !file.Close() ||
      ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) {
    const int err = errno;
    ::unlinkat(dir.get(), temp.c_str(), 0);
    return failed(err);
  }
  if (::fsync(dir.get()) != 0) {
    return failed(errno);
  }
  return std::nullopt;
}

bool ApplyUdevRules(const std::string& name) {
  // udevd's control socket: without it there is no daemon to ask, and
  // udevadm in a chroot says yes while doing nothing.
  struct stat control {};
  if (::stat("/run/udev/control", &control) != 0 || !S_ISSOCK(control.st_mode)) {
    return false;
  }
  return RunUdevadm({"control", "--reload"}) &&
         RunUdevadm({"trigger", "--action=change", "/sys/class/tty/" + name});
}

}  // namespace tevra
