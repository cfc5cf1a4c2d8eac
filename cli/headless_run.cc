#include "cli/headless_run.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "cli/bundled_payload.h"
#include "cli/descriptor_limit.h"
#include "cli/loop_wait.h"
#include "cli/outcome_report.h"
#include "cli/port_closer.h"
#include "cli/port_download.h"
#include "cli/progress_console.h"
#include "cli/run_tally.h"
#include "cli/station_plug_feed.h"
#include "cli/stop_signals.h"
#include "payload/payload_paths.h"

namespace tevra {
namespace {

using Clock = PortDownload::Clock;

// How often live rows are drawn again on a terminal.
constexpr std::chrono::milliseconds kRedrawPeriod{250};
// How often a plug waiting for its device's last close looks again: a close
// takes a moment and wakes nothing.
constexpr std::chrono::milliseconds kCloseRecheck{20};
// How long a run that has its outcomes waits for records whose report another
// program has locked (a collector, a backup: moments, as a rule) before it
// gives them up; a stop signal gives them up at once.
constexpr std::chrono::seconds kReportGrace{5};

std::string ErrnoText(int error) {
  return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): one thread here
}

struct Running {
  std::unique_ptr<PortDownload> port;
  StationPlugFeed::Id id = 0;
  std::size_t order = 0;  // among the run's ports, as they started
};

// The firmware's size and SHA-256 on the console and in the report, before
// any port opens; why there is nothing to send, or empty.
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

}  // namespace

int HeadlessRun::Run() {
  // Before any port's workers exist, so they inherit the blocked signals.
  StopSignals signals;
  ProgressConsole console(STDOUT_FILENO, STDERR_FILENO, ProgressConsole::WantsLive(STDOUT_FILENO));
  if (!signals.valid()) {
    console.Diagnostic(std::string("cannot take over ") + StopSignals::Names() + ": " +
                       ErrnoText(errno));
    return ToInt(ExitStatus::kInternal);
  }
  std::optional<OutcomeReport> report;
  if (!line_.report.empty()) {
    report.emplace(line_.report, version_);
    if (!report->valid()) {
      console.Diagnostic(report->error());
      return ToInt(ExitStatus::kReportFailed);
    }
  }
  OutcomeReport* const record = report ? &*report : nullptr;
  const BundledPayload payload(SelfExecutablePath());
  const std::string problem = AnnounceFirmware(payload, console, record);
  if (!problem.empty()) {
    console.Diagnostic(problem);
  }
  std::optional<StationPlugFeed> station;
  if (line_.watch && problem.empty()) {
    station.emplace(line_.settle);
    if (!station->valid()) {
      console.Diagnostic(std::string("cannot watch ") + StationPlugFeed::kDevDir +
                         " for adapters: " + ErrnoText(errno));
      return ToInt(ExitStatus::kInternal);
    }
  }
  // 0 with a station: until stopped.
  const std::size_t count = station ? line_.count : named_.size();

  std::vector<Running> running;
  PortCloser closer;  // after `running`: every close is waited for first
  // Plugs of a device whose last download is still closing: they start
  // once the close has let go of it.
  std::vector<std::pair<StationPlugFeed::Id, PortTarget>> awaitingClose;
  RunTally tally;
  std::size_t started = 0;
  int stopSignal = 0;
  bool loopFailed = false;
  const auto start = [&](PortTarget target, StationPlugFeed::Id id) {
    running.push_back({MakePortDownload(line_, std::move(target), console, record), id, started++});
    PortDownload& port = *running.back().port;
    if (stopSignal != 0) {
      port.Interrupt();
    } else if (!problem.empty()) {
      port.Fail(ExitStatus::kNoPayload, "no payload to send");
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
      tally.Add(it->port->result(), it->order);
      if (station) {
        station->Ended(it->id);
      }
      closer.Close(std::move(it->port));
      it = running.erase(it);
    }
    closer.Reap();
  };

  if (station) {
    console.Line("watching " + std::string(StationPlugFeed::kDevDir) + " and " +
                 station->portsDir() + " for adapters; each is flashed " +
                 std::to_string(line_.settle.count()) + " ms after it appears" +
                 (count != 0 ? ", until " + std::to_string(count) + " outcomes" : "") +
                 "; Ctrl-C ends");
  }
  for (PortTarget& target : named_) {
    // A stop while ports are still opening reaches none of the rest.
    stopSignal = stopSignal != 0 ? stopSignal : signals.Take();
    const StationPlugFeed::Id id = station ? station->Named(target) : 0;
    start(std::move(target), id);
  }

  std::vector<Waitable> waitables;
  std::vector<bool> ready;
  std::string footer;
  Clock::time_point nextRedraw = Clock::now();
  std::optional<Clock::time_point> graceEnd;
  for (;;) {
    collect();
    Clock::time_point now = Clock::now();
    if (stopSignal != 0 || loopFailed ||
        (running.empty() && (!station || (count != 0 && tally.outcomes() >= count)))) {
      if (report == std::nullopt || report->waiting() == 0 || stopSignal != 0 || loopFailed) {
        break;
      }
      graceEnd = graceEnd.value_or(now + kReportGrace);
      if (now >= *graceEnd) {
        break;
      }
    }
    if (console.live()) {
      const std::string text =
          station ? "watching: " + tally.Text(running.size(), station->waiting()) : std::string();
      if (text != footer || (!running.empty() && now >= nextRedraw)) {
        footer = text;
        console.SetFooter(footer);
        console.Redraw();
        nextRedraw = now + kRedrawPeriod;
      }
    }
    waitables.assign(1, signals.waitable());
    std::optional<Clock::time_point> deadline;
    if (station) {
      for (const Waitable w : station->waitables()) {
        waitables.push_back(w);
      }
      deadline = station->NextDue();
    }
    const std::size_t firstPort = waitables.size();
    for (const Running& r : running) {
      waitables.push_back(r.port->waitable());
      const std::optional<Clock::time_point> due = r.port->NextDeadline();
      if (due && (!deadline || *due < *deadline)) {
        deadline = due;
      }
    }
    if (console.live() && !running.empty()) {
      deadline = deadline ? std::min(*deadline, nextRedraw) : nextRedraw;
    }
    if (!awaitingClose.empty()) {
      const Clock::time_point recheck = now + kCloseRecheck;
      deadline = deadline ? std::min(*deadline, recheck) : recheck;
    }
    for (const std::optional<Clock::time_point> due :
         {report ? report->NextTry() : std::nullopt, graceEnd}) {
      if (due && (!deadline || *due < *deadline)) {
        deadline = due;
      }
    }
    if (!WaitReady(waitables, deadline, ready)) {
      const std::string cause = "waiting for the devices failed: " + ErrnoText(errno);
      for (const Running& r : running) {
        r.port->Fail(ExitStatus::kInternal, cause);
      }
      loopFailed = true;
      continue;  // collects the ports, then ends
    }
    const auto readable = [&](std::size_t i) { return static_cast<bool>(ready[i]); };
    now = Clock::now();
    if (readable(0)) {
      stopSignal = signals.Take();
    }
    if (station && readable(1)) {
      station->OnChanges(now);
    }
    for (std::size_t i = 0; i < running.size(); ++i) {
      if (readable(firstPort + i)) {
        running[i].port->OnNotified();
      }
    }
    for (const Running& r : running) {
      if (stopSignal != 0) {
        r.port->Interrupt();
      }
      r.port->OnTick(now);
    }
    if (report) {
      report->OnTick(now);
    }
    if (station && stopSignal == 0) {
      const std::size_t busy = tally.outcomes() + running.size() + awaitingClose.size();
      const std::size_t room = count == 0      ? std::numeric_limits<std::size_t>::max()
                               : busy >= count ? 0
                                               : count - busy;
      for (auto& plugged : station->TakeReady(now, room)) {
        awaitingClose.push_back(std::move(plugged));
      }
      for (auto it = awaitingClose.begin(); it != awaitingClose.end();) {
        const std::optional<DeviceIdentity>& device = it->second.identity;
        if (device && closer.Holds(*device)) {
          ++it;
          continue;
        }
        start(std::move(it->second), it->first);
        it = awaitingClose.erase(it);
      }
    }
  }
  if (report) {
    report->GiveUp(stopSignal != 0
                       ? "not written: another program held its lock when the run was stopped"
                       : "not written: another program held its lock past the end of the run");
  }
  console.SetFooter({});
  console.Redraw();
  if (station) {
    console.Line("watched: " + tally.Text(0, 0));
  }

  if (stopSignal != 0) {
    return ToInt(ExitStatus::kSignalBase) + stopSignal;
  }
  if (!problem.empty()) {
    return ToInt(ExitStatus::kNoPayload);
  }
  if (tally.firstFailure() != ExitStatus::kSuccess) {
    return ToInt(tally.firstFailure());
  }
  if (loopFailed) {
    return ToInt(ExitStatus::kInternal);
  }
  return ToInt(report && report->failed() ? ExitStatus::kReportFailed : ExitStatus::kSuccess);
}

}  // namespace tevra
