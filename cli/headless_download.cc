#include "cli/headless_download.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/bundled_payload.h"
#include "cli/port_download.h"
#include "cli/progress_console.h"
#include "cli/stop_signals.h"
#include "payload/payload_paths.h"

namespace tevra {
namespace {

using Clock = PortDownload::Clock;

// How often live rows are drawn again on a terminal.
constexpr std::chrono::milliseconds kRedrawPeriod{250};

std::string ErrnoText(int error) {
  return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): one thread here
}

int PollTimeout(std::optional<Clock::time_point> deadline, Clock::time_point now) {
  if (!deadline) {
    return -1;
  }
  if (*deadline <= now) {
    return 0;
  }
  // Rounded up, so the loop never wakes just before a deadline and spins.
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), 60'000));
}

}  // namespace

int HeadlessDownload::Run() {
  // Before any port's workers exist, so they inherit the blocked signals.
  StopSignals signals;
  ProgressConsole console(STDOUT_FILENO, STDERR_FILENO, ProgressConsole::WantsLive(STDOUT_FILENO));
  if (!signals.valid()) {
    console.Diagnostic("cannot take over SIGINT, SIGTERM, SIGHUP and SIGQUIT: " + ErrnoText(errno));
    return ToInt(ExitStatus::kInternal);
  }

  std::vector<std::unique_ptr<PortDownload>> ports;
  ports.reserve(targets_.size());
  for (const PortTarget& target : targets_) {
    ports.push_back(std::make_unique<PortDownload>(target, console, line_.timeout, line_.quietGap));
  }

  const BundledPayload payload(SelfExecutablePath());
  if (!payload.valid()) {
    console.Diagnostic(payload.error());
    for (const auto& port : ports) {
      port->Fail(ExitStatus::kNoPayload, "no payload to send");
    }
  }
  int stopSignal = 0;
  for (const auto& port : ports) {
    // A stop while ports are still opening reaches none of the rest.
    stopSignal = stopSignal != 0 ? stopSignal : signals.Take();
    if (stopSignal != 0) {
      port->Interrupt();
    } else if (payload.valid() && port->Open(line_.baud)) {
      port->Start(payload.NewSource(), payload.length());
    }
  }

  std::vector<pollfd> fds;
  std::vector<PortDownload*> polled;
  Clock::time_point nextRedraw = Clock::now();
  while (stopSignal == 0) {
    fds.assign(1, pollfd{signals.fd(), POLLIN, 0});
    polled.clear();
    std::optional<Clock::time_point> deadline;
    for (const auto& port : ports) {
      if (port->ended()) {
        continue;
      }
      fds.push_back(pollfd{port->notifyFd(), POLLIN, 0});
      polled.push_back(port.get());
      const std::optional<Clock::time_point> due = port->NextDeadline();
      if (due && (!deadline || *due < *deadline)) {
        deadline = due;
      }
    }
    if (polled.empty()) {
      break;
    }
    Clock::time_point now = Clock::now();
    if (console.live()) {
      if (now >= nextRedraw) {
        console.Redraw();
        nextRedraw = now + kRedrawPeriod;
      }
      deadline = deadline ? std::min(*deadline, nextRedraw) : nextRedraw;
    }
    const int ready = ::poll(fds.data(), fds.size(), PollTimeout(deadline, now));
    if (ready < 0 && errno != EINTR) {
      const std::string cause = "waiting for the devices failed: " + ErrnoText(errno);
      for (PortDownload* port : polled) {
        port->Fail(ExitStatus::kInternal, cause);
      }
      break;
    }
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      stopSignal = signals.Take();
      if (stopSignal != 0) {
        for (PortDownload* port : polled) {
          port->Interrupt();
        }
      }
    }
    for (std::size_t i = 0; ready > 0 && i < polled.size(); ++i) {
      if ((fds[i + 1].revents & POLLIN) != 0) {
        polled[i]->OnNotified();
      }
    }
    now = Clock::now();
    for (PortDownload* port : polled) {
      port->OnTick(now);
    }
  }
  console.Redraw();
  {
    std::vector<std::jthread> closers;
    for (const auto& port : ports) {
      try {
        closers.emplace_back([&port] { port->Close(); });
      } catch (const std::system_error&) {
        port->Close();  // no thread to spare: one after the other
      }
    }
  }

  if (stopSignal != 0) {
    return ToInt(ExitStatus::kSignalBase) + stopSignal;
  }
  for (const auto& port : ports) {
    if (port->status() != ExitStatus::kSuccess) {
      return ToInt(port->status());
    }
  }
  return ToInt(ExitStatus::kSuccess);
}

}  // namespace tevra
