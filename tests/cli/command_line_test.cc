// What reaches the command line and what the window; what the command line
// refuses before any port opens; a console whose output nobody reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli/command_line.h"
#include "cli/progress_console.h"
#include "cli/window_options.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kRunCap = std::chrono::milliseconds(30s);

TEST(WantsCommandLineTest, OnlyQtOptionsOpenTheWindow) {
  const std::vector<std::pair<std::vector<std::string_view>, bool>> cases = {
      {{}, false},
      {{"-platform", "offscreen"}, false},
      {{"--platform", "offscreen", "-style=Fusion", "--reverse"}, false},
      {{"-qwindowtitle", "--download"}, false},  // a title, not an option
      {{"-display", ":1", "--stylesheet", "a.qss", "-widgetcount"}, false},
      {{"--download"}, true},
      {{"-h"}, true},
      {{"--version", "-platform", "offscreen"}, true},
      {{"-platform", "offscreen", "--port", "COM3"}, true},
      {{"--bogus"}, true},
      {{"-platform=offscreen"}, true},  // Qt does not take this form
      {{"firmware.bin"}, true},
  };
  for (const auto& [args, commandLine] : cases) {
    EXPECT_EQ(WantsCommandLine(args), commandLine) << ::testing::PrintToString(args);
  }
}

// --quiet-gap: at least two and a half 11-bit characters at the rate, wherever
// --baud stands; only with --download.
TEST(ParseCommandLineTest, QuietGapHasTheRatesMinimum) {
  const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases = {
      {{"--download"}, "unset"},
      {{"--download", "--quiet-gap", "3"}, "3"},  // 9600: 2.86 ms
      {{"--download", "--quiet-gap", "2"}, "at 9600 baud wants at least 3 ms"},
      {{"--download", "--quiet-gap", "1", "--baud", "115200"}, "1"},
      {{"--download", "--baud", "110", "--quiet-gap", "250"}, "250"},
      {{"--download", "--quiet-gap", "249", "--baud", "110"}, "at 110 baud wants at least 250"},
      {{"--download", "--baud", "300", "--quiet-gap", "91"}, "at 300 baud wants at least 92"},
      {{"--download", "--quiet-gap", "10000"}, "10000"},
      {{"--download", "--quiet-gap", "10001"}, "from 1 to 10000, not \"10001\""},
      {{"--download", "--quiet-gap", "5ms"}, "from 1 to 10000, not \"5ms\""},
      {{"--quiet-gap", "5"}, "--quiet-gap only goes with --download"},
  };
  for (const auto& [args, expected] : cases) {
    std::string got;
    try {
      const CommandLine line = ParseCommandLine(args);
      got = line.quietGap ? std::to_string(line.quietGap->count()) : "unset";
    } catch (const UsageError& e) {
      got = e.what();
    }
    EXPECT_NE(got.find(expected), std::string::npos) << ::testing::PrintToString(args) << got;
  }
}

// GNU's two spellings of a value, and one reading of COMn for every option.
TEST(ParseCommandLineTest, ValuesFollowASpaceOrAnEqualsSign) {
  const auto parse = [](std::vector<std::string_view> args) { return ParseCommandLine(args); };
  const CommandLine joined =
      parse({"--download", "--watch", "--baud=115200", "--port=COM3", "--port", "/dev/ttyUSB0",
             "--timeout=10", "--quiet-gap=5", "--report=r.jsonl", "--settle=0", "--count=2"});
  EXPECT_EQ(joined.baud, 115200U);
  EXPECT_EQ(joined.ports, (std::vector<std::string>{"COM3", "/dev/ttyUSB0"}));
  EXPECT_EQ(joined.timeout, std::chrono::seconds(10));
  EXPECT_EQ(joined.quietGap, std::chrono::milliseconds(5));
  EXPECT_EQ(joined.report, "r.jsonl");
  EXPECT_EQ(joined.settle, std::chrono::milliseconds(0));
  EXPECT_EQ(joined.count, 2U);
  EXPECT_EQ(parse({"--grant-access=COM12", "--always"}).grantPort, "COM12");
  EXPECT_EQ(parse({"--licenses"}).action, CommandLine::Action::kLicenses);
  const std::vector<std::pair<std::vector<std::string_view>, std::string>> refused = {
      {{"--download", "--port=COM256"}, "--port wants COM1 to COM255"},
      {{"--download", "--port", "COM03"}, "--port wants COM1 to COM255"},
      {{"--download", "--port", "com3"}, "--port wants COM1 to COM255"},
      {{"--download", "--baud="}, "--baud wants one of"},
      {{"--download", "--timeout"}, "--timeout needs a value"},
      {{"--download=1"}, "unknown option \"--download=1\""},
      {{"--download", "-x"}, "unknown option \"-x\""},
      {{"--download", "COM3"}, "unexpected argument \"COM3\""},
      {{"--download", "--", "--port"}, "unexpected argument \"--port\""},
      {{"--download", "-platform", "offscreen"}, "\"-platform\" is an option of the window"},
      {{"--report=r.jsonl"}, "--report only goes with --download"},
  };
  for (const auto& [args, expected] : refused) {
    try {
      (void)parse(args);
      ADD_FAILURE() << ::testing::PrintToString(args) << " was taken";
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
}

// The run ends before any port is opened; nothing raw reaches the terminal.
struct Refusal {
  const char* script;  // for sh -c, "$0" the updater
  int exitStatus;
  const char* stderrHas;
};

TEST(CommandLineMainTest, RefusesBeforeOpeningAnyPort) {
  const IsolatedEnvironment env;
  const std::vector<Refusal> cases = {
      {R"(exec "$0" --help >/dev/full)", 1, "cannot write to standard output: No space left"},
      {R"(exec "$0" --version >&-)", 1, "cannot write to standard output"},
      {R"(ulimit -n 40; exec "$0" --download --port /x/a --port /x/b --port /x/c)", 1,
       "3 ports need "},
      {R"sh(exec "$0" --download --baud "$(printf '\033[2J')")sh", 2, R"(not "\x1B[2J")"},
      {R"(exec "$0" --watch --port COM3)", 2, "--watch only goes with --download"},
      {R"(exec "$0" --download --count 2)", 2, "--count only goes with --watch"},
      {R"(exec "$0" --download --watch --count 0)", 2, "--count wants a whole number from 1 "},
      {R"(exec "$0" --download --watch --count 1 --port COM3 --port COM4)", 2,
       "--count 1 is fewer than the 2 ports named with --port"},
      {R"(exec "$0" --download --watch --settle 60001)", 2, "from 0 to 60000, not \"60001\""},
      {R"sh(exec "$0" --download --port "$(printf '/tmp/x\033]0;owned\007')")sh", 3,
       R"(/tmp/x\x1B]0;owned\x07: failed)"},
      {R"(exec "$0" --report r.jsonl)", 2, "--report only goes with --download"},
      {R"(exec "$0" --grant-access COM3 --download)", 2, "--grant-access goes alone"},
      {R"(exec "$0" --grant-access COM0)", 2, "--grant-access wants COM1 to COM255"},
      {R"(exec "$0" --grant-access)", 2, "--grant-access needs a port"},
      {R"(exec "$0" --always)", 2, "--always only goes with --grant-access"},
      {R"(exec "$0" --download --report "")", 2, "--report needs a file name"},
      {R"(exec "$0" --download --report /nonexistent/r.jsonl)", 6,
       "cannot open the report /nonexistent/r.jsonl: No such file"},
  };
  for (const Refusal& c : cases) {
    ChildProcess sh("/bin/sh", {"-c", c.script, TEVRA_UPDATER});
    EXPECT_EQ(sh.Finish(kRunCap), c.exitStatus) << c.script << sh.Stderr();
    const std::string all = sh.Stdout() + sh.Stderr();
    EXPECT_NE(all.find(c.stderrHas), std::string::npos) << c.script << all;
    EXPECT_EQ(all.find_first_of("\x1b\a"), std::string::npos) << c.script << all;
  }
}

TEST(CommandLineMainTest, RefusesOneDeviceNamedTwice) {
  const IsolatedEnvironment env;
  const UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.valid() && grantpt(master.get()) == 0 && unlockpt(master.get()) == 0);
  const std::string pty = ptsname(master.get());  // NOLINT(concurrency-mt-unsafe): one thread
  const std::string link = env.WorkFile("dongle");
  ASSERT_EQ(symlink(pty.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink(link.c_str(), (env.portsDir() + "/COM7").c_str()), 0);
  const std::vector<std::array<std::string, 2>> cases = {{pty, link}, {"COM7", pty}};
  for (const auto& [first, second] : cases) {
    ChildProcess updater(TEVRA_UPDATER, {"--download", "--port", first, "--port", second});
    EXPECT_EQ(updater.Finish(kRunCap), 2) << updater.Stderr();
    std::string refusal = "--port ";
    refusal.append(first).append(" and --port ").append(second);
    refusal.append(" are the same device (").append(pty).append(")");
    EXPECT_NE(updater.Stderr().find(refusal), std::string::npos) << updater.Stderr();
  }
}

// Nobody reads the pipe: the callers never wait; the closing lines are held
// and come out once it is read, after a note of the lines given up.
TEST(ProgressConsoleTest, OutputNobodyReadsNeverStallsTheCaller) {
  std::array<int, 2> ends{};
  ASSERT_EQ(pipe2(ends.data(), O_CLOEXEC), 0);
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  auto console = std::make_unique<ProgressConsole>(writeEnd.get(), writeEnd.get(), false);
  constexpr std::size_t kRows = 3;
  auto calls = std::async(std::launch::async, [&console] {
    for (std::size_t row = 0; row < kRows; ++row) {
      console->AddRow("COM" + std::to_string(row + 3));
    }
    const std::string event(200, 'e');  // far more than a pipe holds
    for (std::size_t i = 0; i < 20000; ++i) {
      console->Event(i % kRows, event);
    }
    for (std::size_t row = 0; row < kRows; ++row) {
      console->Finish(row, "done");
    }
  });
  EXPECT_EQ(calls.wait_for(30s), std::future_status::ready) << "a caller waited for the output";
  EXPECT_FALSE(console->Flush(100ms));

  std::string text;
  std::thread reader([&] {
    std::array<char, 65536> buffer{};
    for (ssize_t n = 0; (n = read(readEnd.get(), buffer.data(), buffer.size())) > 0;) {
      text.append(buffer.data(), static_cast<std::size_t>(n));
    }
  });
  EXPECT_TRUE(console->Flush(30s));
  console.reset();
  writeEnd.Close();
  reader.join();
  EXPECT_NE(text.find(" lines not shown: the output fell behind\n"), std::string::npos);
  for (std::size_t row = 0; row < kRows; ++row) {
    EXPECT_NE(text.find("COM" + std::to_string(row + 3) + ": done\n"), std::string::npos);
  }
}

// On a 40x5 terminal: lines that never wrap, rows that never scroll out of
// reach, and no escape sequence but the console's own cursor movement.
TEST(ProgressConsoleTest, LiveRowsStayOnTheScreen) {
  int master = -1;
  int slave = -1;
  winsize size{5, 40, 0, 0};
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
  const UniqueFd masterFd(master);
  UniqueFd slaveFd(slave);
  std::string text;
  std::thread reader([&] {
    std::array<char, 4096> buffer{};
    for (ssize_t n = 0; (n = read(master, buffer.data(), buffer.size())) > 0;) {
      text.append(buffer.data(), static_cast<std::size_t>(n));
    }
  });
  {
    ProgressConsole console(slave, slave, true);
    for (std::size_t row = 0; row < 5; ++row) {
      console.AddRow("/dev/x\x1b]0;owned\a" + std::to_string(row));
      console.SetDevice(row, "/dev/\x1b[2Jtty");
      console.Progress(row, 500, 1000, 100);
    }
    console.Redraw();
    EXPECT_TRUE(console.Flush(30s));  // drawn with all five
    console.Diagnostic("cause \x1b[31m");
    console.Finish(4, "done");
    EXPECT_TRUE(console.Flush(30s));
  }
  slaveFd.Close();
  reader.join();
  EXPECT_NE(text.find("... and 2 more ports"), std::string::npos) << text;
  EXPECT_NE(text.find("/dev/x\\x1B]0;owned\\x074: done"), std::string::npos) << text;
  const std::string own = std::regex_replace(text, std::regex("\x1b\\[([0-9]+A|2K|J)"), "");
  EXPECT_EQ(own.find_first_of("\x1b\a"), std::string::npos) << own;
  const std::regex line("\x1b\\[2K([^\r\n]*)");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    EXPECT_LT((*it)[1].length(), 40) << (*it)[1];
  }
}

}  // namespace
}  // namespace tevra::test
