#include "cli/command_line_system.h"

#include "cli/command_line.h"
#include "platform/diagnostics.h"

namespace tevra::command_line_system {
namespace {

constexpr unsigned kMaxPortNumber = 255;  // the port number is one byte

}  // namespace

// Windows names its ports in any case ("com3" is COM3); shown in upper case.
std::string ParsePort(std::string_view text, std::string_view option) {
  unsigned n = 0;
  bool number = text.size() >= 4 && text.size() <= 6 && text[3] != '0';
  for (std::size_t i = 0; number && i < text.size(); ++i) {
    const char c = text[i];
    if (i < 3) {
      number = (c & ~0x20) == "COM"[i];
    } else if (c >= '0' && c <= '9') {
      n = n * 10 + static_cast<unsigned>(c - '0');
    } else {
      number = false;
    }
  }
  if (!number || n == 0 || n > kMaxPortNumber) {
    throw UsageError(std::string(option) + " wants COM1 to COM" + std::to_string(kMaxPortNumber) +
                     ", not \"" + Printable(text) + "\"");
  }
  return "COM" + std::to_string(n);
}

std::optional<std::string> Unavailable(std::string_view option) {
  if (option == "--watch") {
    return "--watch is for Linux only: on Windows, name each port with --port";
  }
  if (option == "--settle" || option == "--count") {
    return std::string(option) + " goes with --watch, which is for Linux only";
  }
  if (option == "--grant-access" || option == "--always") {
    return std::string(option) + " is for Linux only: Windows lets every user open a serial port";
  }
  return std::nullopt;
}

std::string UsageHead() {
  return "usage: tevra-updater\n"
         "       tevra-updater --download [--port COMn]... [--baud RATE] [--timeout SECONDS]\n"
         "                                [--report FILE] [--quiet-gap MS]\n"
         "       tevra-updater --version | --help | --licenses\n"
         "\n"
         "Without arguments the updater window opens; it downloads the firmware bundled into\n"
         "this program (see tevra-bundle) to a dongle on a serial port. Any argument is for\n"
         "the options below; one they do not know is refused. An option's value is the next\n"
         "argument or follows '=' (--baud=9600).\n"
         "\n";
}

std::string UsagePort() {
  return "  --port COMn         a port as Windows names it (COM1 to COM255); repeat it for\n"
         "                      several devices, each named once (default: COM3)\n";
}

std::string UsageMiddle() {
  return {};
}

std::string UsageLicenses() {
  return "  --licenses          print the notices of the libraries this file carries, if any\n";
}

std::string UsageTail() {
  return "\n"
         "The lines go to the console the updater was started from, or to the file or pipe\n"
         "its output is redirected to. A Command Prompt waits for it in a batch file (then\n"
         "%ERRORLEVEL% is its exit status); typed at the prompt, run it with start /wait.\n"
         "In PowerShell, pipe its output (... | Out-Host) for $LASTEXITCODE, or use\n"
         "Start-Process -Wait -PassThru.\n"
         "\n"
         "Exit status: 0 every device took the firmware; 1 the updater could not run (too\n"
         "many ports at once, ...); 2 usage error (also: one port named twice, or an\n"
         "option for Linux only: --watch, --grant-access); 3 no payload in the updater;\n"
         "4 a port did not open (no such port, held by another program, ...); 5 a device\n"
         "stopped answering, was disconnected or a write failed; 6 the report could not\n"
         "be written; 129, 130, 131 stopped by the console closing, Ctrl+C, Ctrl+Break\n"
         "(the statuses of SIGHUP, SIGINT and SIGQUIT on Linux). With several failed\n"
         "ports, the first one's; a stop comes before any, a failed port before the\n"
         "report.\n";
}

}  // namespace tevra::command_line_system
