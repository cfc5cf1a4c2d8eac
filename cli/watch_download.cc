#include "cli/watch_download.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>

#include "cli/bundled_payload.h"
#include "cli/descriptor_limit.h"
#include "cli/headless_download.h"
#include "cli/outcome_report.h"
#include "cli/poll_timeout.h"
#include "cli/port_closer.h"
#include "cli/port_download.h"
#include "cli/progress_console.h"
#include "cli/stop_signals.h"
#include "cli/watched_adapters.h"
#include "payload/payload_paths.h"
#include "platform/adapter_watcher.h"
#include "platform/port_resolver.h"
#include "platform/ports_directory.h"

namespace tevra {
namespace {

using Clock = PortDownload::Clock;

constexpr char kDevDir[] = "/dev";
constexpr std::chrono::milliseconds kRedrawPeriod{250};

std::string ErrnoText(int error) {
  return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): one thread here
}

struct Running {
  std::unique_ptr<PortDownload> port;
  WatchedAdapters::Id id = 0;
};

}  // namespace

PortTarget WatchDownload::TargetFor(const std::string& path) const {
  PortTarget target{path, path, {}, path, {}};
  PortResolver resolver = PortResolver::ForThisUser();
  const std::filesystem::path name = std::filesystem::path(path).filename();
  if (path == portsDir_ + "/" + name.string()) {
    target.name = name.string();
  } else if (const unsigned n = resolver.NumberOf(path); n != 0) {
    target.name = "COM" + std::to_string(n);
  }
  std::error_code error;
  const std::filesystem::path end = std::filesystem::canonical(path, error);
  target.device = error ? path : end.string();
  target.adapter = resolver.Find(target.device);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    target.identity = DeviceIdentity::Of(st);
  }
  return target;
}

std::string WatchDownload::TallyText(const Tally& tally, std::size_t running,
                                     std::size_t settling) const {
  std::string text =
      std::to_string(tally.flashed) + " flashed, " + std::to_string(tally.failed) + " failed";
  if (tally.interrupted != 0) {
    text += ", " + std::to_string(tally.interrupted) + " interrupted";
  }
  if (running != 0) {
    text += ", " + std::to_string(running) + " running";
  }
  if (settling != 0) {
    text += ", " + std::to_string(settling) + " settling";
  }
  return text;
}

int WatchDownload::Run() {
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
  if (const std::string problem = AnnounceFirmware(payload, console, report ? &*report : nullptr);
      !problem.empty()) {
    console.Diagnostic(problem);
    return ToInt(ExitStatus::kNoPayload);
  }
  AdapterWatcher watcher(kDevDir, PortsDirectory());
  portsDir_ = watcher.portsDir();
  if (!watcher.valid()) {
    console.Diagnostic(std::string("cannot watch ") + kDevDir +
                       " for adapters: " + ErrnoText(errno));
    return ToInt(ExitStatus::kInternal);
  }
  WatchedAdapters plugs;
  for (const std::string& path : watcher.Present()) {
    plugs.LeaveAlone(path);
  }

  std::vector<Running> running;
  PortCloser closer;  // after `running`: every close is waited for first
  Tally tally;
  int stopSignal = 0;
  const auto start = [&](PortTarget target, WatchedAdapters::Id id) {
    running.push_back(
        {MakePortDownload(line_, std::move(target), console, report ? &*report : nullptr), id});
    PortDownload& port = *running.back().port;
    if (stopSignal != 0) {
      port.Interrupt();
    } else if (const std::optional<std::string> shortfall = DescriptorShortfall(1)) {
      port.Fail(ExitStatus::kInternal, *shortfall);
    } else if (port.Open(line_.baud)) {
      port.Start(payload.NewSource(), payload.length());
    }
  };
  const auto collect = [&] {
    for (auto it = running.begin(); it != running.end();) {
      if (!it->port->ended()) {
        ++it;
        continue;
      }
      const ExitStatus status = it->port->status();
      if (status == ExitStatus::kSuccess) {
        ++tally.flashed;
      } else if (status == ExitStatus::kSignalBase) {
        ++tally.interrupted;
      } else {
        tally.firstFailure = tally.failed++ == 0 ? status : tally.firstFailure;
      }
      plugs.Ended(it->id);
      closer.Close(std::move(it->port));
      it = running.erase(it);
    }
    closer.Reap();
  };

  console.Line("watching " + std::string(kDevDir) + " and " + portsDir_ +
               " for adapters; each is flashed " + std::to_string(line_.settle.count()) +
               " ms after it appears" +
               (line_.count != 0 ? ", until " + std::to_string(line_.count) + " outcomes" : "") +
               "; Ctrl-C ends");
  for (PortTarget& target : named_) {
    // A stop while ports are still opening reaches none of the rest.
    stopSignal = stopSignal != 0 ? stopSignal : signals.Take();
    const WatchedAdapters::Id id = plugs.Named(target.path, target.identity);
    start(std::move(target), id);
  }

  std::vector<pollfd> fds;
  std::string footer;
  Clock::time_point nextRedraw = Clock::now();
  for (;;) {
    collect();
    if (stopSignal != 0 ||
        (line_.count != 0 && tally.outcomes() >= line_.count && running.empty())) {
      break;
    }
    Clock::time_point now = Clock::now();
    if (console.live()) {
      const std::string text = "watching: " + TallyText(tally, running.size(), plugs.settling());
      if (text != footer || (!running.empty() && now >= nextRedraw)) {
        footer = text;
        console.SetFooter(footer);
        console.Redraw();
        nextRedraw = now + kRedrawPeriod;
      }
    }
    fds.assign({pollfd{signals.fd(), POLLIN, 0}, pollfd{watcher.fd(), POLLIN, 0}});
    std::optional<Clock::time_point> deadline = plugs.NextDue();
    for (const Running& r : running) {
      fds.push_back(pollfd{r.port->notifyFd(), POLLIN, 0});
      const std::optional<Clock::time_point> due = r.port->NextDeadline();
      if (due && (!deadline || *due < *deadline)) {
        deadline = due;
      }
    }
    if (console.live() && !running.empty()) {
      deadline = deadline ? std::min(*deadline, nextRedraw) : nextRedraw;
    }
    const int ready = ::poll(fds.data(), fds.size(), PollTimeout<Clock>(deadline, now));
    if (ready < 0 && errno != EINTR) {
      const std::string cause = "waiting for the devices failed: " + ErrnoText(errno);
      for (const Running& r : running) {
        r.port->Fail(ExitStatus::kInternal, cause);
      }
      tally.firstFailure = ExitStatus::kInternal;
      collect();
      break;
    }
    now = Clock::now();
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      stopSignal = signals.Take();
    }
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
      for (const AdapterWatcher::Change& change : watcher.Take()) {
        if (change.appeared) {
          plugs.Appeared(change.path, now + line_.settle);
        } else {
          plugs.Gone(change.path);
        }
      }
    }
    for (std::size_t i = 0; ready > 0 && i < running.size(); ++i) {
      if ((fds[i + 2].revents & POLLIN) != 0) {
        running[i].port->OnNotified();
      }
    }
    for (const Running& r : running) {
      if (stopSignal != 0) {
        r.port->Interrupt();
      }
      r.port->OnTick(now);
    }
    if (stopSignal == 0) {
      const std::size_t busy = tally.outcomes() + running.size();
      const std::size_t room = line_.count == 0      ? std::numeric_limits<std::size_t>::max()
                               : busy >= line_.count ? 0
                                                     : line_.count - busy;
      for (const WatchedAdapters::Due& due : plugs.TakeDue(now, room)) {
        start(TargetFor(due.path), due.id);
      }
    }
  }
  console.SetFooter({});
  console.Redraw();
  console.Line("watched: " + TallyText(tally, 0, 0));

  if (stopSignal != 0) {
    return ToInt(ExitStatus::kSignalBase) + stopSignal;
  }
  if (tally.firstFailure == ExitStatus::kSuccess && report && report->failed()) {
    return ToInt(ExitStatus::kReportFailed);
  }
  return ToInt(tally.firstFailure);
}

}  // namespace tevra
