#include "app/window_module.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/desktop_notification.h"
#include "app/window_libraries.h"
#include "app/window_module_image.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

using WindowMain = int (*)(int, char**);
using UseCarried = void (*)(const char*, const char*);

constexpr char kEntryPoint[] = "TevraWindowMain";
constexpr char kUseCarried[] = "TevraWindowUseCarried";

int Fail(const std::string& what) {
  const std::string line = "tevra-updater: cannot start the window: " + what + "\n";
  (void)std::fwrite(line.data(), 1, line.size(), stderr);
  // Started from a file manager, nobody reads stderr.
  DesktopNotification::ShowStartFailure(what);
  return WindowModule::kLoadFailed;
}

}  // namespace

int WindowModule::Run(int argc, char** argv) {
  const WindowLibraries libraries = PrepareWindowLibraries();
  if (!libraries.problem.empty()) {
    return Fail(libraries.problem);
  }
  const std::span<const unsigned char> image = WindowModuleImage();
  const UniqueFd file(memfd_create("tevra-window", MFD_CLOEXEC));
  if (!file.valid()) {
    return Fail(std::string("memfd_create: ") + std::strerror(errno));  // NOLINT: one thread
  }
  if (!WriteAll(file.get(), image.data(), image.size())) {
    return Fail(std::string("writing the module: ") + std::strerror(errno));  // NOLINT
  }
  // Loaded for the rest of the run: Qt does not survive being unloaded.
  const std::string path = "/proc/self/fd/" + std::to_string(file.get());
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();  // NOLINT(concurrency-mt-unsafe): one thread
    return Fail(why != nullptr ? why : "dlopen failed");
  }
  // POSIX allows the cast from dlsym's result to a function pointer.
  auto* entry = reinterpret_cast<WindowMain>(dlsym(module, kEntryPoint));  // NOLINT
  if (entry == nullptr) {
    return Fail(std::string("the module has no ") + kEntryPoint);
  }
  if (!libraries.pluginDirectory.empty()) {
    auto* useCarried = reinterpret_cast<UseCarried>(dlsym(module, kUseCarried));  // NOLINT
    if (useCarried == nullptr) {
      return Fail(std::string("the module has no ") + kUseCarried);
    }
    useCarried(libraries.pluginDirectory.c_str(), libraries.fontDirectory.c_str());
  }
  return entry(argc, argv);
}

}  // namespace tevra
