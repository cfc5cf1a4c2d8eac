// tevra-updater --download as scripts run it, bundled with a payload, against
// simulated devices on COM3, COM4, ...; standard output is a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bundler/bundle.h"
#include "platform/unique_fd.h"
#include "sim/dongle_simulator.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_environment.h"
#include "tests/support/temp_dir.h"

namespace tevra::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kRunCap = std::chrono::milliseconds(90s);
constexpr char kDone[] = "done: ";
// The line rate the devices' lines are left at before each run.
constexpr speed_t kFoundRate = B1200;

using Options = sim::DongleOptions;
struct Device {
  std::string closing;  // its port's closing line; kDone: it holds the payload
  int Options::*fault = &Options::ignoreErase;  // set to `value`; by default no fault
  int value = 0;
  std::uint32_t pacedBaud = 0;  // answers paced at this rate
  bool flood = false;           // streams answer patterns, parsing nothing
};

// What the updater carries: a payload, nothing, or a trailer that says 0 bytes.
enum class Carries { kPayload, kNothing, kEmptyTrailer };

struct Case {
  const char* name;
  int exitStatus;  // 128 + n: signal n once the first device has two blocks
  std::vector<Device> devices;
  const char* output = "";             // somewhere in stdout or stderr
  std::vector<std::string> args = {};  // after --download and the devices' ports
  Carries carries = Carries::kPayload;
  std::size_t payloadSize = 1000;  // seven full blocks and a short one
  int stopBeforeOpening = 0;       // a signal already waiting when the updater starts
  bool report = true;              // with --report (but for usage errors)
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// A report's records as python3's json module reads them, one per line, its
// fields split: port (escaped as Python does), result, blocks, firmware
// SHA-256, vendor id, "ok" (every key in order, time, seconds, version and
// cause as they should be), cause. Empty when any line is not JSON.
std::vector<std::vector<std::string>> Records(const std::string& path) {
  static constexpr char kScript[] = R"(
import json, re, sys
keys = ('time port device vendor_id product_id manufacturer product serial firmware_bytes '
        'firmware_sha256 result cause seconds blocks updater_version').split()
lines = open(sys.argv[1], 'rb').read().decode().split('\n')
assert lines.pop() == ''
for line in lines:
    r = json.loads(line)
    ok = (list(r) == keys and re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ', r['time'])
          and r['seconds'] >= 0 and r['updater_version'] and
          (r['cause'] is None) == (r['result'] == 'done'))
    print(r['port'].encode('unicode_escape').decode(), r['result'], r['blocks'],
          r['firmware_sha256'], r['vendor_id'], 'ok' if ok else 'bad', r['cause'], sep='\t')
)";
  ChildProcess python("/usr/bin/python3", {"-c", kScript, path});
  EXPECT_EQ(python.Finish(kRunCap), 0) << python.Stderr();
  std::vector<std::vector<std::string>> records;
  std::istringstream text(python.Stdout());
  for (std::string line; std::getline(text, line);) {
    std::vector<std::string>& fields = records.emplace_back();
    std::istringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) {
      fields.push_back(field);
    }
    EXPECT_EQ(fields.size(), 7U) << line;
    fields.resize(7);
  }
  return records;
}

std::string Sha256Sum(const std::string& path) {
  ChildProcess sum("/usr/bin/sha256sum", {path});
  EXPECT_EQ(sum.Finish(kRunCap), 0);
  return sum.Stdout().substr(0, 64);
}

std::string Mapped(pid_t pid) {
  const Bytes maps = ReadFile("/proc/" + std::to_string(pid) + "/maps");
  return {maps.begin(), maps.end()};
}

class HeadlessDownloadTest : public ::testing::TestWithParam<Case> {};

speed_t LineRate(const std::string& path, std::optional<speed_t> set = std::nullopt) {
  const UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  termios line{};
  EXPECT_EQ(tcgetattr(fd.get(), &line), 0) << path;
  if (set) {
    cfsetspeed(&line, *set);
    EXPECT_EQ(tcsetattr(fd.get(), TCSANOW, &line), 0);
  }
  return cfgetospeed(&line);
}

TEST_P(HeadlessDownloadTest, Runs) {
  const Case& c = GetParam();
  const IsolatedEnvironment env;
  const Bytes payload = RandomBytes(c.payloadSize, 7);
  WriteFile(env.WorkFile("payload"), payload);
  std::string error;
  ASSERT_TRUE(PackBundle(TEVRA_UPDATER, env.WorkFile("payload"), env.WorkFile("updater"), error))
      << error;
  if (c.carries == Carries::kEmptyTrailer) {
    WriteFile(env.WorkFile("updater"),
              Concat(ReadFile(TEVRA_UPDATER), {0, 0, 0, 0, 0x55, 0x81, 0x18, 0x55}));
    chmod(env.WorkFile("updater").c_str(), 0700);
  }

  std::vector<std::unique_ptr<sim::DongleSimulator>> devices;
  std::vector<std::string> args = {"--download"};
  for (const Device& d : c.devices) {
    Options options;
    options.*d.fault = d.value;
    options.port = 3 + static_cast<int>(devices.size());
    options.portsDir = env.portsDir();
    options.flood = d.flood;
    options.pace = d.pacedBaud != 0;
    options.baud = options.pace ? d.pacedBaud : options.baud;
    devices.push_back(std::make_unique<sim::DongleSimulator>(options));
    ASSERT_TRUE(devices.back()->Start(&error)) << error;
    const std::string port = "COM" + std::to_string(options.port);
    LineRate(env.portsDir() + "/" + port, kFoundRate);
    args.insert(args.end(), {"--port", port});
  }
  args.insert(args.end(), c.args.begin(), c.args.end());
  const std::string report = env.WorkFile("report.jsonl");
  const bool reported = c.report && c.exitStatus != 2;
  if (reported) {
    args.insert(args.end(), {"--report", report});
  }

  // Blocked, and sent by a shell to itself before it becomes the updater:
  // the signal waits in the updater from its first instruction.
  std::string program = c.carries != Carries::kNothing ? env.WorkFile("updater") : TEVRA_UPDATER;
  if (c.stopBeforeOpening != 0) {
    args.insert(args.begin(),
                {"-c", "kill -" + std::to_string(c.stopBeforeOpening) + " $$ && exec \"$0\" \"$@\"",
                 program});
    program = "/bin/sh";
  }
  sigset_t stop, previous;
  sigemptyset(&stop);
  if (c.stopBeforeOpening != 0) {
    sigaddset(&stop, c.stopBeforeOpening);
  }
  pthread_sigmask(SIG_BLOCK, &stop, &previous);
  ChildProcess updater(program, args);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!c.devices.empty() && c.stopBeforeOpening == 0) {
    EXPECT_NE(updater.NextLine(10s), "");
    EXPECT_EQ(Mapped(updater.pid()).find("libQt"), std::string::npos) << "headless loads Qt";
  }
  if (c.exitStatus > 128 && c.stopBeforeOpening == 0) {
    ASSERT_TRUE(
        devices[0]->WaitUntil([](const sim::DongleStats& s) { return s.blocks >= 2; }, 10s));
    updater.Signal(c.exitStatus - 128);
  }
  EXPECT_EQ(updater.Finish(kRunCap), c.exitStatus) << updater.Stdout() << updater.Stderr();

  const std::string& out = updater.Stdout();
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << "escape codes in a pipe: " << out;
  EXPECT_NE((out + updater.Stderr()).find(c.output), std::string::npos) << out << updater.Stderr();
  const std::string sha256 = Sha256Sum(env.WorkFile("payload"));
  if (c.carries == Carries::kPayload && c.exitStatus != 2) {
    EXPECT_TRUE(out.starts_with("firmware: " + std::to_string(c.payloadSize) + " bytes, sha256 " +
                                sha256 + "\n"))
        << out;
  }
  // One record for each port's closing line, saying what it says.
  const auto records = reported ? Records(report) : decltype(Records(report)){};
  // Without --port, COM3.
  const auto ports = std::max<std::size_t>(
      1, c.devices.size() + static_cast<std::size_t>(std::ranges::count(c.args, "--port")));
  EXPECT_EQ(records.size(), reported ? ports : 0) << out;
  std::set<std::string> recorded;
  for (const auto& r : records) {
    const std::string& cause = r[6];
    EXPECT_TRUE(recorded.insert(r[0]).second) << r[0] << " twice";
    EXPECT_EQ(r[5], "ok") << r[0];
    EXPECT_EQ(r[4], "None") << "a pseudo-terminal has no USB ids";
    EXPECT_EQ(r[3], c.carries == Carries::kPayload ? sha256 : "None");
    const std::string shown =
        r[1] == "done" ? "done: " : (r[1] == "failed" ? "failed: " : "") + cause + "\n";
    EXPECT_NE(out.find(r[0] + ": " + shown), std::string::npos) << r[1] << " " << cause;
    const std::size_t at = cause.find("at block ");
    const std::string blocks = r[1] == "done" ? std::to_string((c.payloadSize + 127) / 128)
                               : at == std::string::npos
                                   ? r[2]
                                   : std::to_string(std::stoi(cause.substr(at + 9)) - 1);
    EXPECT_EQ(r[2], blocks) << r[0] << " " << cause;
  }
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const std::string port = "COM" + std::to_string(3 + i);
    EXPECT_NE(out.find(port + ": " + c.devices[i].closing), std::string::npos) << out;
    if (!devices[i]->Stats().hungUp) {
      EXPECT_EQ(LineRate(env.portsDir() + "/" + port), kFoundRate) << port << " not put back";
    }
    devices[i]->Stop();
    const sim::DongleStats stats = devices[i]->Stats();
    EXPECT_EQ(stats.image == payload, c.devices[i].closing == kDone) << port;
    if (!c.devices[i].flood) {
      EXPECT_EQ(stats.unknownBytes, 0U) << port << " got bytes that are no command";
    }
    if (c.carries == Carries::kEmptyTrailer || c.stopBeforeOpening != 0) {
      EXPECT_EQ(stats.erases, 0) << port << " was erased";
    }
  }
}

// With Qt's options only, the window opens: the embedded module loads and
// brings Qt, which takes them (no platform but the one given would start).
TEST(WindowPathTest, LoadsTheEmbeddedWindowModule) {
  const IsolatedEnvironment env;
  SetEnv("QT_QPA_PLATFORM", "");
  SetEnv("DISPLAY", "");
  ChildProcess updater(TEVRA_UPDATER, {"--platform", "offscreen", "-style", "Fusion"});
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::string mapped;
  while (mapped.find("libQt6Widgets") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline && updater.NextLine(100ms).empty()) {
    mapped = Mapped(updater.pid());
  }
  EXPECT_NE(mapped.find("libQt6Widgets"), std::string::npos) << updater.Stderr();
  updater.Signal(SIGTERM);
  EXPECT_EQ(updater.Finish(kRunCap), 128 + SIGTERM) << updater.Stderr();
}

// A device node the user may not use: the port fails with the node's real
// group and both ways out; --grant-access from a file in /tmp (root may not
// run it) checks the node as the step would and refuses it before asking;
// root, who may use it, is granted nothing.
TEST(PortAccessTest, APortTheUserMayNotUseSaysWhoMayAndHow) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to become nobody";
  }
  const IsolatedEnvironment env;
  const TempDir dir;  // nobody may reach what it holds
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  WriteFile(env.WorkFile("payload"), RandomBytes(1000, 7));
  const std::string updater = dir.Path("updater");
  std::string error;
  ASSERT_TRUE(PackBundle(TEVRA_UPDATER, env.WorkFile("payload"), updater, error)) << error;
  ASSERT_EQ(::chmod(updater.c_str(), 0755), 0);
  const std::string node = dir.Write("ttyUSB0", {});
  ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
  ChildProcess chgrp("/bin/chgrp", {"dialout", node});
  ASSERT_EQ(chgrp.Finish(kRunCap), 0) << chgrp.Stderr();

  const auto asNobody = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/env",
                               "PATH=/nonexistent", updater});
    return std::make_unique<ChildProcess>("/usr/bin/setpriv", args);
  };
  const std::string why =
      node + " is root:dialout 0660 and you (nobody) are not in the dialout group";
  const std::string forGood =
      "for good: sudo usermod -aG dialout nobody, then log out and in again";
  auto download = asNobody({"--download", "--port", node});
  EXPECT_EQ(download->Finish(kRunCap), 4) << download->Stderr();
  EXPECT_NE(
      download->Stdout().find(node + ": failed: the port did not open: permission denied: " + why),
      std::string::npos)
      << download->Stdout();
  EXPECT_NE(
      download->Stderr().find(node + ": for this time: " + updater + " --grant-access " + node),
      std::string::npos)
      << download->Stderr();
  EXPECT_NE(download->Stderr().find(node + ": " + forGood), std::string::npos)
      << download->Stderr();

  auto grant = asNobody({"--grant-access", node});
  EXPECT_EQ(grant->Finish(kRunCap), 2) << grant->Stderr();
  EXPECT_EQ(grant->Stderr(), "tevra-updater: " + node + ": \"" + node +
                                 "\" is not a device node directly in /dev\n");
  // Listed in the group (nobody's own), in a session begun without it.
  const std::string acm = dir.Write("ttyACM0", {});
  ASSERT_EQ(::chown(acm.c_str(), 0, 65534), 0);
  ASSERT_EQ(::chmod(acm.c_str(), 0660), 0);
  ChildProcess older("/usr/bin/setpriv", {"--reuid=65534", "--regid=1", "--clear-groups", updater,
                                          "--download", "--port", acm});
  EXPECT_EQ(older.Finish(kRunCap), 4) << older.Stderr();
  EXPECT_NE(older.Stdout().find(acm + " is root:nogroup 0660; you (nobody) joined the nogroup "
                                      "group after this session began: log out and in again"),
            std::string::npos)
      << older.Stdout();
  EXPECT_NE(older.Stderr().find(acm + ": for good: log out and in again"), std::string::npos)
      << older.Stderr();

  // A simulator's pseudo-terminal, owned as an adapter is: no access list
  // can help there, so none is offered; the group's way is.
  const UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.valid() && ::grantpt(master.get()) == 0 && ::unlockpt(master.get()) == 0);
  std::array<char, 64> ptyName{};
  ASSERT_EQ(::ptsname_r(master.get(), ptyName.data(), ptyName.size()), 0);
  const std::string pty = ptyName.data();
  ChildProcess chgrpPty("/bin/chgrp", {"dialout", pty});
  ASSERT_EQ(chgrpPty.Finish(kRunCap), 0) << chgrpPty.Stderr();
  ASSERT_EQ(::chmod(pty.c_str(), 0660), 0);
  const std::string noGrant = pty + ": no grant can help: " + pty + " is a pseudo-terminal";
  auto ptyDownload = asNobody({"--download", "--port", pty});
  EXPECT_EQ(ptyDownload->Finish(kRunCap), 4) << ptyDownload->Stderr();
  EXPECT_NE(ptyDownload->Stderr().find(noGrant), std::string::npos) << ptyDownload->Stderr();
  EXPECT_NE(ptyDownload->Stderr().find(pty + ": " + forGood), std::string::npos);
  EXPECT_EQ(ptyDownload->Stderr().find("--grant-access"), std::string::npos);
  auto ptyGrant = asNobody({"--grant-access", pty});
  EXPECT_EQ(ptyGrant->Finish(kRunCap), 2) << ptyGrant->Stderr();
  EXPECT_NE(ptyGrant->Stderr().find(noGrant), std::string::npos) << ptyGrant->Stderr();
  EXPECT_EQ(ptyGrant->Stderr().find("setfacl"), std::string::npos) << ptyGrant->Stderr();

  ChildProcess root(updater, {"--grant-access", node});
  EXPECT_EQ(root.Finish(kRunCap), 0) << root.Stderr();
  EXPECT_NE(root.Stderr().find("you may use it already"), std::string::npos) << root.Stderr();
}

// A bundled updater carrying a 1000-byte payload, and a simulator on COM3
// (and more) for each test of the report.
struct ReportBench {
  explicit ReportBench(int devices) {
    WriteFile(env.WorkFile("payload"), RandomBytes(1000, 7));
    std::string error;
    EXPECT_TRUE(PackBundle(TEVRA_UPDATER, env.WorkFile("payload"), updater, error)) << error;
    for (int i = 0; i < devices; ++i) {
      Options options;
      options.port = 3 + i;
      options.portsDir = env.portsDir();
      sims.push_back(std::make_unique<sim::DongleSimulator>(options));
      EXPECT_TRUE(sims.back()->Start(&error)) << error;
    }
  }
  IsolatedEnvironment env;
  std::string updater = env.WorkFile("updater");
  std::string report = env.WorkFile("report.jsonl");
  std::vector<std::unique_ptr<sim::DongleSimulator>> sims;
};

// Two stations appending to one report at once: every record is a whole
// line. A name that is neither printable nor UTF-8 arrives escaped.
TEST(ReportTest, TwoUpdatersAppendWholeLines) {
  ReportBench bench(2);
  const std::string odd = bench.env.WorkFile("dev\x01\xff");
  ASSERT_EQ(::symlink((bench.env.portsDir() + "/COM4").c_str(), odd.c_str()), 0);
  constexpr int kMissing = 20;  // ports that end at once, all records together
  std::vector<std::unique_ptr<ChildProcess>> updaters;
  for (const std::string& port : {std::string("COM3"), odd}) {
    std::vector<std::string> args = {"--download", "--port", port, "--report", bench.report};
    for (int k = 0; k < kMissing; ++k) {
      args.insert(args.end(), {"--port", "/nonexistent/tty" + std::to_string(k)});
    }
    updaters.push_back(std::make_unique<ChildProcess>(bench.updater, args));
  }
  for (const auto& updater : updaters) {
    EXPECT_EQ(updater->Finish(kRunCap), 4) << updater->Stdout() << updater->Stderr();
  }
  const auto records = Records(bench.report);
  EXPECT_EQ(records.size(), 2U * (kMissing + 1));
  EXPECT_EQ(std::ranges::count_if(records, [](const auto& r) { return r[1] == "done"; }), 2);
  EXPECT_EQ(std::ranges::count_if(records,
                                  [](const auto& r) { return r[0].ends_with("dev\\x01\\ufffd"); }),
            1);
}

// A report that cannot be kept is loud: one that does not open stops the run
// before any device is touched; a record that cannot be written (here past
// the file size limit) is said on the port's closing line. Exit status 6.
TEST(ReportTest, ReportTroubleIsLoud) {
  struct Trouble {
    const char* name;
    std::function<void(const std::string&)> make;
    const char* shell;  // before the updater starts
    const char* said;
    bool flashed;
  };
  const Trouble troubles[] = {
      {"Directory", [](const std::string& p) { ::mkdir(p.c_str(), 0700); }, "", "Is a directory",
       false},
      {"Fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }, "", "not a regular file",
       false},
      {"WriteFails", [](const std::string& p) { WriteFile(p, Bytes(4096, '\n')); },
       "ulimit -f 1 && trap '' XFSZ && ", "COM3 in the report", true},
  };
  for (const Trouble& t : troubles) {
    SCOPED_TRACE(t.name);
    ReportBench bench(1);
    t.make(bench.report);
    ChildProcess updater("/bin/sh", {"-c", std::string(t.shell) + "exec \"$0\" \"$@\"",
                                     bench.updater, "--download", "--report", bench.report});
    EXPECT_EQ(updater.Finish(kRunCap), 6) << updater.Stdout() << updater.Stderr();
    EXPECT_NE(updater.Stderr().find(t.said), std::string::npos) << updater.Stderr();
    EXPECT_EQ(updater.Stdout().find("COM3: done: ") != std::string::npos, t.flashed);
    EXPECT_EQ(updater.Stdout().find("; not in the report\n") != std::string::npos, t.flashed);
    bench.sims[0]->Stop();
    EXPECT_EQ(bench.sims[0]->Stats().erases != 0, t.flashed) << updater.Stdout();
  }
}

// A report on a nearly full tmpfs (mounted in a mount namespace of its own):
// the records that do not fit are lost loudly, and none stays cut in the file.
TEST(ReportTest, FullDiskLeavesNoCutRecord) {
  ReportBench bench(2);
  const std::string disk = bench.env.WorkFile("disk");
  ASSERT_EQ(::mkdir(disk.c_str(), 0700), 0);
  // One record of its own, 200 bytes short of a page; the filler takes the other.
  const std::string head =
      R"({"time":"2026-01-01T00:00:00Z","port":"COM9","device":null,"vendor_id":null,)"
      R"("product_id":null,"manufacturer":null,"product":null,"serial":null,)"
      R"("firmware_bytes":null,"firmware_sha256":null,"result":"failed","cause":")";
  const std::string tail = R"(","seconds":0,"blocks":0,"updater_version":"0"})"
                           "\n";
  const std::string kept = head + std::string(4096 - 200 - head.size() - tail.size(), 'x') + tail;
  WriteFile(bench.report, Bytes(kept.begin(), kept.end()));
  constexpr char kScript[] =
      R"(mount -t tmpfs -o size=8k tmpfs "$1" && cp "$2" "$1/r" || exit 99
(cat /dev/zero >"$1/fill") 2>/dev/null
"$3" --download --port COM3 --port COM4 --report "$1/r"; s=$?
cp "$1/r" "$2" && exit $s)";
  ChildProcess updater("/usr/bin/unshare", {"-m", "--propagation", "private", "/bin/sh", "-c",
                                            kScript, "sh", disk, bench.report, bench.updater});
  EXPECT_EQ(updater.Finish(kRunCap), 6) << updater.Stdout() << updater.Stderr();
  EXPECT_NE(updater.Stdout().find("COM4: done: 1000 bytes in"), std::string::npos);
  EXPECT_NE(updater.Stdout().find("; not in the report\n"), std::string::npos) << updater.Stdout();
  EXPECT_NE(updater.Stderr().find("bytes were written"), std::string::npos) << updater.Stderr();
  EXPECT_EQ(Records(bench.report).size(), 1U);
}

// Another program holding the report's lock (a collector, a backup) holds
// back no download and no stop: the record waits for the lock, is written
// once it is let go, and is given up loudly at a stop or past the end's grace.
TEST(ReportTest, AHeldReportHoldsNothingBack) {
  struct Held {
    const char* name;
    int signal;  // sent once the record waits; 0: none
    bool letGo;  // the lock let go once the record waits
    int status;
  };
  for (const Held& h : {Held{"LetGo", 0, true, 0}, Held{"Stopped", SIGTERM, false, 143},
                        Held{"PastTheGrace", 0, false, 6}}) {
    SCOPED_TRACE(h.name);
    ReportBench bench(1);
    // Past the grace and then some, so that a run that waited for it still ends.
    auto holder = HoldLock(bench.report, 10s, 15s);
    ASSERT_NE(holder, nullptr);
    ChildProcess updater(bench.updater, {"--download", "--report", bench.report});
    std::string seen;
    for (std::string line; seen.find("COM3: waiting for the report") == std::string::npos &&
                           !(line = updater.NextLine(20s)).empty();) {
      seen += line + "\n";
    }
    EXPECT_NE(seen.find("COM3: waiting for the report"), std::string::npos) << seen;
    const auto asked = std::chrono::steady_clock::now();
    if (h.letGo) {
      holder.reset();
    }
    if (h.signal != 0) {
      updater.Signal(h.signal);
    }
    EXPECT_EQ(updater.Finish(kRunCap), h.status) << updater.Stdout() << updater.Stderr();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - asked;
    std::printf("%s: exit %.3f s after the record began to wait\n", h.name, took.count());
    if (h.signal != 0) {
      EXPECT_LT(took, 5s) << "the stop waited for the report";
    }
    EXPECT_NE(updater.Stdout().find("COM3: done: "), std::string::npos) << updater.Stdout();
    EXPECT_EQ(updater.Stdout().find("; not in the report\n") == std::string::npos, h.letGo);
    EXPECT_EQ(updater.Stderr().find("the record of COM3 in the report") == std::string::npos,
              h.letGo)
        << updater.Stderr();
    holder.reset();
    EXPECT_EQ(Records(bench.report).size(), h.letGo ? 1U : 0U);
  }
}

std::vector<Case> Cases() {
  const Device good{kDone};
  const Device interrupted{"interrupted at block"};
  const Device silent{"failed: the device gave no answer for 1 s at block 4 of 8",
                      &Options::stopAfterBlock, 3};
  const Device unplugged{"failed: the device was disconnected at block 4 of 8",
                         &Options::hangupAfterBlock, 3};
  // A hang-up right after the last answer still counts as success.
  const std::vector<Device> succeeding{
      good, {kDone, &Options::ignoreErase, 1}, {kDone, &Options::hangupAfterBlock, 8}};
  // 110 baud: a block's round trip alone is longer than the default timeout.
  const Device paced110{kDone, &Options::ignoreErase, 0, 110};
  const Device paced115200{kDone, &Options::ignoreErase, 0, 115200};
  return {
      {"ThreePortsInParallel", 0, succeeding, "COM4: no answer to the erase; erasing again"},
      {"AnswersAt110BaudWithTheDefaultTimeout",
       0,
       {paced110},
       "",
       {"--baud", "110"},
       Carries::kPayload,
       100,
       0,
       false},
      {"EmptyTrailerIsNoPayload",
       3,
       {{"failed: no payload to send"}},
       "no payload",
       {},
       Carries::kEmptyTrailer},
      {"StopWhileOpeningReachesNoPort",
       143,
       {{"interrupted before"}, {"interrupted before"}},
       "",
       {},
       Carries::kPayload,
       1000,
       SIGTERM},
      // Answer patterns streamed without a pause are no answers.
      {"FloodIsNoAnswer",
       5,
       {{"failed: the device gave no answer for 1 s while erasing", &Options::ignoreErase, 0, 0,
         true}},
       "",
       {"--timeout", "1"}},
      {"FailedPortsLeaveTheOthersGoing", 5, {good, silent, unplugged}, "", {"--timeout", "1"}},
      {"PortThatDoesNotExist",
       4,
       {},
       "/nonexistent/ttyUSB9: failed: the port did not open: no such device",
       {"--port", "/nonexistent/ttyUSB9"}},
      {"NoPayload", 3, {}, "COM3: failed: no payload to send", {}, Carries::kNothing},
      {"BadOption",
       2,
       {},
       "tevra-updater: unknown option \"--bogus\"\ntevra-updater: see 'tevra-updater --help' "
       "for the options\n",
       {"--bogus"}},
      {"RateNotInTheList", 2, {}, "--baud wants one of 110, 300", {"--baud", "1234"}},
      {"QuietGapBelowTheRatesMinimum",
       2,
       {},
       "--quiet-gap at 9600 baud wants at least 3 ms (two and a half characters' time), not 2\n"
       "tevra-updater: see 'tevra-updater --help'",
       {"--quiet-gap", "2"}},
      // Half the default, not 5 ms: on a busy machine the simulator and the
      // updater are preempted for 3 to 20 ms, holes a short gap takes for silence.
      {"ShortQuietGapAt115200", 0, {paced115200}, "", {"--quiet-gap", "50", "--baud", "115200"}},
      // A device that pauses inside its answers: cut answers are no answers.
      {"AnswersCutByTheQuietGapAreNone",
       5,
       {{"failed: the device gave no answer for 1 s", &Options::answerPauseMs, 30}},
       "",
       {"--quiet-gap", "5", "--timeout", "1"}},
      {"PausesShorterThanTheQuietGap", 0, {{kDone, &Options::answerPauseMs, 30}}},
      // The framing's wait is the updater's own: it never counts against the device.
      {"QuietGapLongerThanTheTimeout",
       0,
       {good},
       "",
       {"--quiet-gap", "1500", "--timeout", "1"},
       Carries::kPayload,
       100},
      {"Interrupted", 130, {interrupted, interrupted}},
      {"TerminalClosed", 129, {interrupted}},
      {"Quit", 131, {interrupted}},
  };
}

// A vendor or a customer asks which firmware a file carries: --version
// names it as sha256sum does, before any download; a file without it says so.
TEST(VersionTest, NamesTheFirmwareTheFileCarries) {
  const IsolatedEnvironment env;
  WriteFile(env.WorkFile("payload"), RandomBytes(5000, 9));
  std::string error;
  ASSERT_TRUE(PackBundle(TEVRA_UPDATER, env.WorkFile("payload"), env.WorkFile("updater"), error))
      << error;
  ChildProcess sum("/usr/bin/sha256sum", {env.WorkFile("payload")});
  ASSERT_EQ(sum.Finish(kRunCap), 0);
  ChildProcess version(env.WorkFile("updater"), {"--version"});
  ASSERT_EQ(version.Finish(kRunCap), 0) << version.Stderr();
  EXPECT_NE(
      version.Stdout().find("\nfirmware: 5000 bytes, sha256 " + sum.Stdout().substr(0, 64) + "\n"),
      std::string::npos)
      << version.Stdout();
  const Bytes bundled = ReadFile(env.WorkFile("updater"));
  WriteFile(env.WorkFile("updater"), Bytes(bundled.begin(), bundled.end() - 9));  // cut short
  ChildProcess damaged(env.WorkFile("updater"), {"--version"});
  ASSERT_EQ(damaged.Finish(kRunCap), 0) << damaged.Stderr();
  EXPECT_NE(damaged.Stdout().find("\nfirmware: "), std::string::npos);
  EXPECT_EQ(damaged.Stdout().find("sha256"), std::string::npos) << damaged.Stdout();
}

INSTANTIATE_TEST_SUITE_P(Cases, HeadlessDownloadTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
}  // namespace tevra::test
