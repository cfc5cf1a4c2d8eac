#include "app/stop_signal_notifier.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace tevra {
namespace {

constexpr std::array<int, 4> kStopSignals = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

std::atomic<int> g_writeEnd{-1};
std::array<struct sigaction, kStopSignals.size()> g_previous{};

extern "C" void OnStopSignal(int signal) {
  const int saved = errno;
  const auto number = static_cast<unsigned char>(signal);
  // Async-signal-safe; a full pipe means a stop is already on its way.
  (void)!::write(g_writeEnd.load(), &number, 1);
  errno = saved;
}

}  // namespace

StopSignalNotifier::StopSignalNotifier(std::function<void(int signal)> onSignal)
    : onSignal_(std::move(onSignal)) {
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    return;
  }
  readEnd_ = UniqueFd(ends[0]);
  writeEnd_ = UniqueFd(ends[1]);
  g_writeEnd.store(writeEnd_.get());
  notifier_ = std::make_unique<QSocketNotifier>(readEnd_.get(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { OnReadable(); });

  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
    if (::sigaction(kStopSignals.at(i), &action, &g_previous.at(i)) != 0) {
      for (std::size_t k = 0; k < i; ++k) {
        (void)::sigaction(kStopSignals.at(k), &g_previous.at(k), nullptr);
      }
      return;
    }
  }
  installed_ = true;
}

StopSignalNotifier::~StopSignalNotifier() {
  if (installed_) {
    for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
      (void)::sigaction(kStopSignals.at(i), &g_previous.at(i), nullptr);
    }
  }
  g_writeEnd.store(-1);
}

void StopSignalNotifier::OnReadable() {
  unsigned char number = 0;
  if (::read(readEnd_.get(), &number, 1) == 1 && onSignal_) {
    onSignal_(number);
  }
}

}  // namespace tevra
