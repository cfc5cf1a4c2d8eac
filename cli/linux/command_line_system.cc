#include "cli/command_line_system.h"

#include <filesystem>
#include <system_error>

#include "access/grant_rule.h"
#include "cli/command_line.h"
#include "platform/diagnostics.h"
#include "platform/port_resolver.h"

namespace tevra::command_line_system {

std::string ParsePort(std::string_view text, std::string_view option) {
  if (const unsigned n = PortResolver::PortNumber(text); n != 0) {
    return PortResolver::PortName(n);
  }
  if (text.find('/') == std::string_view::npos) {
    throw UsageError(std::string(option) + " wants COM1 to COM" +
                     std::to_string(PortResolver::kMaxPortNumber) +
                     " or a device path such as /dev/ttyUSB0, not \"" + Printable(text) + "\"");
  }
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(std::string(text), error);
  if (error) {
    throw UsageError(std::string(option) + " " + Printable(text) + ": " + error.message());
  }
  return absolute.lexically_normal().string();
}

std::optional<std::string> Unavailable(std::string_view /*option*/) {
  return std::nullopt;
}

std::string UsageHead() {
  return "usage: tevra-updater [Qt options]\n"
         "       tevra-updater --download [--port COMn|PATH]... [--baud RATE] [--timeout SECONDS]\n"
         "                                [--report FILE] [--quiet-gap MS]\n"
         "       tevra-updater --download --watch [--port COMn|PATH]... [--settle MS]\n"
         "                     [--count N] [--baud RATE] [--timeout SECONDS] [--report FILE]\n"
         "                     [--quiet-gap MS]\n"
         "       tevra-updater --grant-access COMn|PATH [--always]\n"
         "       tevra-updater --version | --help | --licenses\n"
         "\n"
         "Without arguments the updater window opens; it downloads the firmware bundled into\n"
         "this program (see tevra-bundle) to a dongle on a serial port. Qt's own options\n"
         "(-platform NAME, -style NAME, -display DISPLAY, -reverse, ...; one dash or two)\n"
         "go to the window. Any other argument is for the options below; one they do not\n"
         "know is refused. An option's value is the next argument or follows '=' (--baud=9600).\n"
         "\n";
}

std::string UsagePort() {
  return "  --port COMn|PATH    a port as the window names it (COM1 to COM255), or a device\n"
         "                      path such as /dev/serial/by-id/...; repeat it for several\n"
         "                      devices, each named once (default: COM3)\n";
}

std::string UsageMiddle() {
  return "  --watch             a flashing station: also flash every serial adapter plugged\n"
         "                      in while it runs (a new /dev/ttyUSB*, /dev/ttyACM* or COMn\n"
         "                      link), once per plug, in parallel; adapters there at the\n"
         "                      start are left alone unless named; no default port\n"
         "  --settle MS         with --watch: start a download this long after its adapter\n"
         "                      appeared, 0 to 60000 (default: 1000)\n"
         "  --count N           with --watch: end after N outcomes, those of the ports\n"
         "                      named with --port included (so N is at least their\n"
         "                      number); none starts beyond the N-th (default: run\n"
         "                      until stopped)\n"
         "\n"
         "--grant-access lets you use a port that you may not (the device's group, often\n"
         "dialout, is not yours): polkit asks for an administrator's password, then you\n"
         "may read and write that device until it is unplugged or the computer restarts\n"
         "(a built-in port: until the computer restarts). Root runs only a program no user\n"
         "can change: the installed updater, else /usr/bin/setfacl for this time only.\n" +
         std::string(kGrantRule) +
         "  --always            also let the user at the desk use every adapter of that\n"
         "                      model (USB vendor and product id) whenever it is plugged in\n"
         "                      (a udev rule, /etc/udev/rules.d/70-tevra-updater-*.rules;\n"
         "                      the installed updater writes it, else its commands are shown)\n"
         "\n";
}

std::string UsageLicenses() {
  return "  --licenses          print the notices of the libraries this file carries, if any\n"
         "                      (the portable updater carries Qt: see TEVRA_QT_DIR in\n"
         "                      the manual page, man tevra-updater)\n";
}

std::string UsageTail() {
  return "\n"
         "Exit status: 0 every device took the firmware; 1 the updater could not run (too\n"
         "few file descriptors for the ports, ...); 2 usage error (also: one device named\n"
         "twice); 3 no payload in the updater; 4 a port did not open; 5 a device stopped\n"
         "answering, was disconnected or a write failed; 6 the report could not be\n"
         "written; 129, 130, 131, 143 stopped by SIGHUP, SIGINT, SIGQUIT, SIGTERM. With\n"
         "several failed ports, the first one's; a stop signal comes before any, a\n"
         "failed port before the report. --watch: 128 + the signal when stopped; after\n"
         "--count outcomes 0 when every device took the firmware, else the first\n"
         "failure's status, else 6 when the report lost a record. --grant-access: 0\n"
         "granted (or nothing to grant), 2 a device it never grants, 4 not granted\n"
         "(no such port, no pkexec, the password prompt refused; the commands for a\n"
         "terminal are printed instead).\n"
         "\n"
         "tevra-updater(1) lists the environment and the files the updater uses.\n";
}

}  // namespace tevra::command_line_system
