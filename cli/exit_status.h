#pragma once

namespace tevra {

// The exit status of `tevra-updater --download` and the other command-line
// uses, one per cause; the README lists them. When ports fail for different
// causes, the status is that of the first failed port in the order given.
// A stop signal's status comes before any port's, and a failed port's before
// kReportFailed: the report's loss is said only of runs whose every device
// took the firmware (or was refused it before anything was opened).
// A watch (--download --watch) ends by a stop signal (128 + its number,
// whatever the outcomes) or after --count outcomes: then 0 when every one
// was done, else the status of the first that failed.
enum class ExitStatus : int {
  kSuccess = 0,        // every port: the device acknowledged the last block
  kInternal = 1,       // the updater itself could not run (resources, window module)
  kUsage = 2,          // a bad option or value; the usage is printed
  kNoPayload = 3,      // the updater carries no payload, or it cannot be read
  kPortNotOpened = 4,  // a port did not open (missing, busy, permission, rate)
  kDeviceFailed = 5,   // a device stopped answering, was disconnected, or a write failed
  kReportFailed = 6,   // --report: the file did not open, or a record is not on disk
  // Stopped by a signal: 128 + its number (129 SIGHUP, 130 SIGINT, 131 SIGQUIT,
  // 143 SIGTERM).
  kSignalBase = 128,
};

inline int ToInt(ExitStatus status) {
  return static_cast<int>(status);
}

}  // namespace tevra
