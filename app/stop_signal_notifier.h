#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

#include "platform/unique_fd.h"

namespace tevra {

// SIGTERM, SIGHUP, SIGINT and SIGQUIT (a kill, a closed terminal, Ctrl-C, a
// desktop logout) as a call on the window's thread, so the window can put
// the line back as it found it before the process ends. The handler only
// writes the signal's number to a pipe; the rest runs in the event loop.
// One at a time per process; the previous dispositions come back with it.
class StopSignalNotifier : public QObject {
 public:
  explicit StopSignalNotifier(std::function<void(int signal)> onSignal);
  StopSignalNotifier(const StopSignalNotifier&) = delete;
  StopSignalNotifier& operator=(const StopSignalNotifier&) = delete;
  ~StopSignalNotifier() override;

  // False when the signals could not be taken over (errno set): they then
  // keep their default action.
  bool valid() const { return installed_; }

 private:
  void OnReadable();

  UniqueFd readEnd_;
  UniqueFd writeEnd_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::function<void(int)> onSignal_;
  bool installed_ = false;
};

}  // namespace tevra
