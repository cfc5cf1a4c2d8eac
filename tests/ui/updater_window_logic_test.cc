// The window's behaviour without a toolkit: a plain view of the test's own,
// a real port and the dongle simulator, real files.
#include "ui/updater_window_logic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "payload/payload_layout.h"
#include "payload/payload_paths.h"
#include "platform/wait.h"
#include "res/resource.h"
#include "tests/support/bytes.h"
#include "tests/support/elf_program.h"

#include "sim/dongle_simulator.h"
#include "tests/support/temp_dir.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/isolated_environment.h"
#endif

namespace tevra::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

constexpr auto kCap = 30s;
constexpr char kOpened[] = "Com has opened already!";
constexpr char kNotOpened[] = "Com has not opened!";
constexpr char kClosed[] = "Success to Close Com!";
constexpr char kFinished[] = "File download finish!";

// A window with no toolkit: keeps what the logic shows, answers its dialogs
// as a test says, and runs a small loop of its own that delivers the
// workers' notices and the timers on the test's thread.
class PlainView : public UpdaterWindowView {
 public:
  void Wake(std::uintptr_t wParam, std::intptr_t lParam) override {
    const std::lock_guard lock(mutex_);
    wakes_.push_back({wParam, lParam});
    woken_.Set();
  }
  void PrependLog(std::string_view line) override { log.insert(log.begin(), std::string(line)); }
  void SetProgressPos(int pos) override { progress = pos; }
  void EnableDownload(bool enabled) override { downloadEnabled = enabled; }
  void SetTimer(int id, std::chrono::milliseconds period) override {
    timers_[id] = {Clock::now() + period, period};
  }
  void KillTimer(int id) override { timers_.erase(id); }
  std::optional<PortChoice> AskPortSettings(int portIndex, int baudIndex,
                                            int /*portState*/) override {
    return settings(PortChoice{portIndex, baudIndex});
  }
  void ShowAbout() override { ++abouts; }
  bool OfferPortAccess(std::uint8_t portNumber) override {
    offered.push_back(portNumber);
    return letIn && letIn();
  }

  // Delivers notices and timer ticks to logic until done() holds; false
  // when cap passed first.
  bool RunUntil(UpdaterWindowLogic& logic, const std::function<bool()>& done,
                Clock::duration cap = kCap) {
    const Clock::time_point deadline = Clock::now() + cap;
    while (!done()) {
      Clock::time_point next = deadline;
      for (const auto& [id, timer] : timers_) {
        next = std::min(next, timer.due);
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
      if (WaitAny({&woken_}, std::max(left, 0ms)).status == WaitStatus::kFailed) {
        return false;
      }
      Deliver(logic);
      if (Clock::now() >= deadline) {
        return done();
      }
    }
    return true;
  }

  Lines log;  // newest first
  int progress = 0;
  std::optional<bool> downloadEnabled;  // unset until the logic sets it
  std::vector<int> offered;
  int abouts = 0;
  std::function<bool()> letIn;  // the offer's answer: no, unless set
  // The settings dialog's answer to the rows it shows: confirmed as shown
  // unless a test says otherwise; nullopt is Cancel.
  std::function<std::optional<PortChoice>(PortChoice)> settings = [](PortChoice shown) {
    return std::optional(shown);
  };

 private:
  struct Timer {
    Clock::time_point due;
    std::chrono::milliseconds period;
  };

  void Deliver(UpdaterWindowLogic& logic) {
    std::deque<std::pair<std::uintptr_t, std::intptr_t>> wakes;
    {
      const std::lock_guard lock(mutex_);
      wakes.swap(wakes_);
      woken_.Reset();
    }
    for (const auto& [wParam, lParam] : wakes) {
      logic.OnSerialNotify(wParam, lParam);
    }
    const Clock::time_point now = Clock::now();
    std::vector<int> due;
    for (auto& [id, timer] : timers_) {
      if (timer.due <= now) {
        due.push_back(id);
        timer.due = now + timer.period;
      }
    }
    for (const int id : due) {
      // The watch is one-shot; the others tick until killed.
      if (id == UpdaterWindowLogic::TIMER_WATCH) {
        timers_.erase(id);
      }
      logic.OnTimer(id);
    }
  }

  std::mutex mutex_;
  std::deque<std::pair<std::uintptr_t, std::intptr_t>> wakes_;
  Event woken_;
  std::map<int, Timer> timers_;
};

#if defined(_WIN32)
// Under Wine the simulator runs outside the program, linked as the prefix's
// COM3 by the test script: it takes no faults and keeps its image.
class Line {
 public:
  static bool Reachable(void (*tweak)(sim::DongleOptions&)) {
    return tweak == nullptr && std::getenv("TEVRA_WINE_COM3") != nullptr;
  }
  bool Start(void (* /*tweak*/)(sim::DongleOptions&)) { return true; }
  std::string WorkFile(const std::string& name) const { return work_.Path(name); }

 private:
  TempDir work_;
};
#else
// The simulator on a pseudo-terminal published as COM3, in a place of the
// test's own.
class Line {
 public:
  static bool Reachable(void (* /*tweak*/)(sim::DongleOptions&)) { return true; }
  bool Start(void (*tweak)(sim::DongleOptions&)) {
    sim::DongleOptions options;
    if (tweak != nullptr) {
      tweak(options);
    }
    options.portsDir = env_.portsDir();
    simulator_ = std::make_unique<sim::DongleSimulator>(options);
    std::string error;
    EXPECT_TRUE(simulator_->Start(&error)) << error;
    return error.empty();
  }
  std::string WorkFile(const std::string& name) const { return env_.WorkFile(name); }
  std::string PortLink(int port) const { return env_.portsDir() + "/COM" + std::to_string(port); }
  std::string Device() const { return simulator_->SlavePath(); }
  sim::DongleStats Stats() const { return simulator_->Stats(); }

 private:
  IsolatedEnvironment env_;
  std::unique_ptr<sim::DongleSimulator> simulator_;
};
#endif

class UpdaterWindowLogicTest : public testing::Test {
 protected:
  void SetUp() override { logic.OnInitDialog(); }
  // Skips where the test cannot have that device.
  void StartDevice(void (*tweak)(sim::DongleOptions&) = nullptr) {
    if (!Line::Reachable(tweak)) {
      GTEST_SKIP() << "no such device linked as COM3";
    }
    ASSERT_TRUE(line.Start(tweak));
  }
  // A file laid out as the bundler makes it, carrying payload.
  std::string Bundled(const Bytes& payload, const char* name = "updater") const {
    const auto trailer = EncodeTrailer(static_cast<std::uint32_t>(payload.size()));
    std::string path = line.WorkFile(name);
    WriteFile(path,
              Concat(Concat(ElfProgram(3000, 7), payload), Bytes(trailer.begin(), trailer.end())));
    return path;
  }
  void StartDownload(const Bytes& payload, void (*tweak)(sim::DongleOptions&) = nullptr) {
    StartDevice(tweak);
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    logic.SetPayloadSource(Bundled(payload));
    logic.OnComSettings();
    ASSERT_EQ(view.log.front(), kOpened);
    logic.OnDownload();
  }
  bool Run(const std::function<bool()>& done, Clock::duration cap = kCap) {
    return view.RunUntil(logic, done, cap);
  }
  void ExpectFinishedWith([[maybe_unused]] const Bytes& payload) {
    ASSERT_TRUE(Run([&] { return !view.log.empty() && view.log.front() == kFinished; }));
    EXPECT_EQ(view.downloadEnabled, true);
    EXPECT_EQ(view.progress, 0) << "the bar is back at its start";
#if !defined(_WIN32)
    ASSERT_TRUE(Seen([&](const sim::DongleStats& s) { return s.image.size() == payload.size(); }));
    EXPECT_TRUE(line.Stats().image == payload) << "the device's image differs from the payload";
#endif
  }
#if !defined(_WIN32)
  // Runs the window until the device has seen what pred wants.
  bool Seen(const std::function<bool(const sim::DongleStats&)>& pred) {
    return Run([&] { return pred(line.Stats()); });
  }
#endif

  Line line;
  PlainView view;
  UpdaterWindowLogic logic{view};
};

// The system menu's about entry, whatever the low bits the system adds.
TEST_F(UpdaterWindowLogicTest, StartsOnComThreeAt9600AndOnlyTheAboutEntryShowsTheAboutBox) {
  EXPECT_EQ(logic.portIndex() * 10 + logic.baudIndex(), 26);
  EXPECT_FALSE(logic.portOpen());
  logic.OnSysCommand(res::IDM_ABOUTBOX | 0x2);
  logic.OnSysCommand(0xF060);  // the system's own Close
  logic.OnSysCommand(res::IDM_ABOUTBOX + 0x10);
  EXPECT_EQ(view.abouts, 1);
  EXPECT_TRUE(view.log.empty());
}

// Download is given back when the device accepted the last block.
TEST_F(UpdaterWindowLogicTest, DownloadsThePayloadAndGivesDownloadBack) {
  const Bytes payload = RandomBytes(1000, 2);
  StartDownload(payload);
  if (IsSkipped()) {
    return;
  }
  EXPECT_EQ(view.downloadEnabled, false);
  ExpectFinishedWith(payload);
}

// A failed extraction downloads nothing, not even what an earlier run left in
// the payload file, and leaves Download disabled: this test program (no
// payload), a damaged trailer, a trailer that says 0 bytes.
TEST_F(UpdaterWindowLogicTest, BadPayloadSourcesLogOpenFileFailureAndSendNothing) {
  StartDevice();
  if (IsSkipped()) {
    return;
  }
  const std::string damaged = Bundled(RandomBytes(256, 10), "damaged");
  std::fstream file(damaged, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(-1, std::ios::end);
  file.put('\x00');  // the magic's last byte
  file.close();
  const std::string empty = Bundled({}, "empty");
  for (const std::string& source : {std::string(), damaged, empty}) {
    SCOPED_TRACE(source);
    WriteFile(PayloadDirectory() + '/' + kPayloadFileName, RandomBytes(300, 8));
    PlainView freshView;
    UpdaterWindowLogic fresh(freshView);
    fresh.OnInitDialog();
    fresh.SetPayloadSource(source);  // empty: this program's own file
    fresh.OnComSettings();
    fresh.OnDownload();
    EXPECT_EQ(freshView.log, Lines({"open File failure!", kOpened}));
    EXPECT_EQ(freshView.downloadEnabled, false);
    EXPECT_FALSE(freshView.RunUntil(
        fresh, [] { return false; }, 300ms));
    EXPECT_FALSE(fresh.session().sequencer().downloading());
#if !defined(_WIN32)
    EXPECT_EQ(line.Stats().erases, 0);
#endif
  }
}

#if !defined(_WIN32)
// Each settings answer in turn: no device yet, the device, another window
// holding it (busy is no matter of permission), Cancel, no rate row.
TEST_F(UpdaterWindowLogicTest, SettingsOpenTheChosenPortOrLogWhyNot) {
  logic.OnComSettings();
  StartDevice();
  logic.OnComSettings();
  EXPECT_TRUE(logic.portOpen());
  PlainView otherView;
  UpdaterWindowLogic other(otherView);
  other.OnInitDialog();
  other.OnComSettings();
  EXPECT_EQ(otherView.log, Lines({kNotOpened}));
  EXPECT_TRUE(otherView.offered.empty());

  view.settings = [](UpdaterWindowView::PortChoice) { return std::nullopt; };
  logic.OnComSettings();
  EXPECT_FALSE(logic.portOpen()) << "the dialog lets the port go, even when cancelled";
  other.OnComSettings();
  EXPECT_TRUE(other.portOpen());
  other.OnComClose();
  view.settings = [](UpdaterWindowView::PortChoice shown) {
    return std::optional(UpdaterWindowView::PortChoice{shown.portIndex, -1});
  };
  logic.OnComSettings();
  EXPECT_EQ(logic.baudIndex(), -1);
  EXPECT_EQ(view.log, Lines({kNotOpened, kOpened, kNotOpened}));
  EXPECT_TRUE(view.offered.empty());
}

// A port refused for want of permission is offered to the view, and tried
// once more when the view let the user in.
TEST_F(UpdaterWindowLogicTest, PortRefusedForPermissionIsOfferedAndTriedOnceMore) {
  // A kernel attribute with nothing to store refuses even root.
  const char* refusing = "/sys/kernel/uevent_seqnum";
  const int fd = ::open(refusing, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0 || errno != EACCES) {
    ::close(fd);
    GTEST_SKIP() << refusing << " does not refuse this user";
  }
  StartDevice([](sim::DongleOptions& o) { o.port = 4; });
  ASSERT_EQ(::symlink(refusing, line.PortLink(3).c_str()), 0) << errno;
  logic.OnComSettings();
  view.letIn = [] { return true; };
  logic.OnComSettings();
  EXPECT_EQ(view.log, Lines({kNotOpened, kNotOpened, kNotOpened}));
  view.letIn = [&] {
    return ::unlink(line.PortLink(3).c_str()) == 0 &&
           ::symlink(line.Device().c_str(), line.PortLink(3).c_str()) == 0;
  };
  logic.OnComSettings();
  EXPECT_EQ(view.log.front(), kOpened);
  EXPECT_EQ(view.offered, std::vector<int>({3, 3, 3}));
}

// At 110 baud a character takes as long as the 100 ms gap: the answers must
// still arrive whole, each as one record.
TEST_F(UpdaterWindowLogicTest, PacedDeviceAt110BaudIsAnsweredWhole) {
  const Bytes payload = RandomBytes(10, 11);
  view.settings = [](UpdaterWindowView::PortChoice shown) {
    return std::optional(UpdaterWindowView::PortChoice{shown.portIndex, 0});
  };
  StartDownload(payload, [](sim::DongleOptions& o) { o.baud = 110, o.pace = true; });
  ExpectFinishedWith(payload);
  EXPECT_EQ(line.Stats().erases, 1) << "every answer was whole the first time";
}

// Sent is not delivered: a device that takes the last block but never
// accepts it (it reset, or the block was garbled) leaves the download
// running, until "Com Close" abandons it.
TEST_F(UpdaterWindowLogicTest, FinishWaitsForTheDevicesAcceptanceOfTheLastBlock) {
  StartDownload(RandomBytes(200, 4), [](sim::DongleOptions& o) { o.dropBlock = 2; });
  ASSERT_TRUE(Seen([](const sim::DongleStats& s) { return s.silent; }));
  EXPECT_FALSE(Run([&] { return view.log.front() == kFinished; }, 1s));
  EXPECT_TRUE(logic.session().sequencer().downloading());
  EXPECT_EQ(view.downloadEnabled, false);
  logic.OnComClose();
  EXPECT_EQ(view.downloadEnabled, true);
  EXPECT_EQ(view.log.front(), kClosed);
  EXPECT_EQ(std::ranges::count(view.log, std::string(kFinished)), 0);
}

// "Com settings" while the erase is unanswered closes the port; confirming
// reopens it and the retried erase carries the download on.
TEST_F(UpdaterWindowLogicTest, ComSettingsMidDownloadKeepsItGoing) {
  const Bytes payload = RandomBytes(200, 5);
  StartDownload(payload, [](sim::DongleOptions& o) { o.ignoreErase = 1; });
  ASSERT_TRUE(Seen([](const sim::DongleStats& s) { return s.erases == 1; }));
  logic.OnComSettings();
  EXPECT_EQ(view.log.front(), kOpened);
  ExpectFinishedWith(payload);
}

// An unplugged adapter ends the download without a false finish, Download
// comes back, "Com Close" still returns; each cause goes to stderr once.
TEST_F(UpdaterWindowLogicTest, UnpluggedDeviceEndsTheDownloadWithItsCause) {
  testing::internal::CaptureStderr();
  StartDownload(RandomBytes(1280, 9), [](sim::DongleOptions& o) { o.hangupAfterBlock = 2; });
  ASSERT_TRUE(Seen([](const sim::DongleStats& s) { return s.hungUp; }));
  EXPECT_TRUE(Run([&] { return view.downloadEnabled == true; }));
  EXPECT_NE(view.log.front(), kFinished);
  logic.OnComClose();
  EXPECT_EQ(view.log.front(), kClosed);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("hung up or was unplugged"), std::string::npos) << err;
  EXPECT_EQ(err.find("hung up"), err.rfind("hung up")) << err;
  EXPECT_NE(err.find("the device was disconnected at block 3 of 10"), std::string::npos) << err;
}

#endif

}  // namespace
}  // namespace tevra::test
