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
#include "cli/outcome_report.h"
#include "cli/poll_timeout.h"
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

}  // namespace

bool OpenReport(const std::string& path, ProgressConsole& console,
                std::optional<OutcomeReport>& report) {
  if (path.empty()) {
    return true;
  }
  report.emplace(path);
  if (!report->valid()) {
    console.Diagnostic(report->error());
    return false;
  }
  return true;
}

std::string AnnounceFirmware(const BundledPayload& payload, ProgressConsole& console,
                             OutcomeReport* report) {
  if (!payload.valid()) {
    return payload.error();
  }
  const std::string sha256 = payload.Sha256Hex();
  if (sha256.empty()) {
    return "cannot read the payload: " + ErrnoText(errno);
  }
  console.Line("firmware: " + std::to_string(payload.length()) + " bytes, sha256 " + sha256);
  if (report != nullptr) {
    report->SetFirmware(payload.length(), sha256);
  }
  return {};
}

int HeadlessDownload::Run() {
  // Before any port's workers exist, so they inherit the blocked signals.
  StopSignals signals;
  ProgressConsole console(STDOUT_FILENO, STDERR_FILENO, ProgressConsole::WantsLive(STDOUT_FILENO));
  if (!signals.valid()) {
    console.Diagnostic("cannot take over SIGINT, SIGTERM, SIGHUP and SIGQUIT: " + ErrnoText(errno));
    return ToInt(ExitStatus::kInternal);
  }

  std::optional<OutcomeReport> report;
  if (!OpenReport(line_.report, console, report)) {
    return ToInt(ExitStatus::kReportFailed);
  }
  const BundledPayload payload(SelfExecutablePath());
  const std::string problem = AnnounceFirmware(payload, console, report ? &*report : nullptr);

  std::vector<std::unique_ptr<PortDownload>> ports;
  ports.reserve(targets_.size());
  for (const PortTarget& target : targets_) {
    ports.push_back(MakePortDownload(line_, target, console, report ? &*report : nullptr));
  }
  if (!problem.empty()) {
    console.Diagnostic(problem);
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
    } else if (problem.empty() && port->Open(line_.baud)) {
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
    const int ready = ::poll(fds.data(), fds.size(), PollTimeout<Clock>(deadline, now));
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
  return ToInt(report && report->failed() ? ExitStatus::kReportFailed : ExitStatus::kSuccess);
}

}  // namespace tevra
