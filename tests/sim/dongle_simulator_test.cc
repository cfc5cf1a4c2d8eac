#include "sim/dongle_simulator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "tests/sim/slave_line.h"
#include "tests/support/isolated_environment.h"

namespace tevra::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using test::Record;
using test::SlaveLine;
using ::tevra::test::ReadFile;

constexpr std::array<std::uint8_t, 5> kEraseBytes{0xE0, 0x22, 0x00, 0x00, 0x02};
constexpr std::array<std::uint8_t, 5> kHeaderBytes{0xE0, 0x55, 0x00, 0x00, 0x80};
constexpr std::array<std::uint8_t, 2> kEraseAckBytes{0x50, 0x02};
constexpr std::array<std::uint8_t, 8> kHeaderAckBytes{0xE0, 0x55, 0x00, 0x00,
                                                      0x80, 0xB0, 0xB1, 0xB2};

constexpr auto kCap = 5000ms;        // generous: nothing here should take a fraction of it
constexpr auto kGap = 50ms;          // the tests' own framing of unpaced answers
constexpr auto kUpdaterGap = 100ms;  // the updater's framing

Bytes Sequence(std::size_t n, std::uint8_t first) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
}

Bytes BlockAck(const Bytes& block) {
  Bytes a(block);
  a.push_back(0x50);
  a.push_back(0x00);
  return a;
}

// The three patterns the updater looks for, at their fixed offsets.
bool LooksLikeAnAnswer(const Bytes& r) {
  const bool eraseAck = r.size() >= 2 && r[0] == 0x50 && r[1] == 0x02;
  const bool headerAck = r.size() >= 8 && r[5] == 0xB0 && r[6] == 0xB1 && r[7] == 0xB2;
  const bool blockAck = r.size() >= 130 && r[128] == 0x50 && r[129] == 0x00;
  return eraseAck || headerAck || blockAck;
}

class DongleSimTest : public ::testing::Test {
 protected:
  const Bytes kErase{kEraseBytes.begin(), kEraseBytes.end()};
  const Bytes kHeader{kHeaderBytes.begin(), kHeaderBytes.end()};
  const Bytes kEraseAck{kEraseAckBytes.begin(), kEraseAckBytes.end()};
  const Bytes kHeaderAck{kHeaderAckBytes.begin(), kHeaderAckBytes.end()};

  // The ports directory is left for the simulator to make.
  void SetUp() override { tevra::test::SetEnv("TEVRA_PORTS_DIR", PortsDir()); }

  void TearDown() override {
    line_.Close();
    sim_.reset();
  }

  std::string PortsDir() const { return dir_.Path("ports"); }
  std::string LinkPath() const { return PortsDir() + "/COM3"; }

  // Starts the simulator on COM3 of the test's own ports directory and opens
  // the line through the link, as the updater would.
  void StartSim(DongleOptions options) {
    options.port = 3;
    sim_ = std::make_unique<DongleSimulator>(std::move(options));
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    ASSERT_TRUE(line_.Open(LinkPath())) << LinkPath();
  }

  Bytes Exchange(const Bytes& command, std::size_t answerLength) {
    EXPECT_TRUE(line_.Write(command, kCap));
    return line_.ReadCount(answerLength, kCap);
  }

  // What the updater sends before its first block: the erase, then a header.
  void EraseAndAnnounceABlock() {
    EXPECT_EQ(Exchange(kErase, 2), kEraseAck);
    EXPECT_EQ(Exchange(kHeader, 8), kHeaderAck);
  }

  void Send(const Bytes& bytes) { ASSERT_TRUE(line_.Write(bytes, kCap)); }

  bool WaitFor(const std::function<bool(const DongleStats&)>& pred) {
    return sim_->WaitUntil(pred, kCap);
  }

  tevra::test::TempDir dir_;
  std::unique_ptr<DongleSimulator> sim_;
  SlaveLine line_;
};

TEST_F(DongleSimTest, DownloadIsAnsweredAtTheFixedOffsetsAndStoredByteForByte) {
  const std::string imagePath = dir_.Path("image.bin");
  DongleOptions o;
  o.imagePath = imagePath;
  StartSim(o);

  EXPECT_EQ(Exchange(kErase, 2), kEraseAck);
  // Every byte value, 0x11, 0x13, 0x0D and 0xFF among them, must cross unchanged.
  const Bytes b1 = Sequence(128, 0x00);
  const Bytes b2 = Sequence(128, 0x80);
  const Bytes b3 = Sequence(72, 0x0D);
  Bytes expected;
  for (const Bytes& block : {b1, b2, b3}) {
    EXPECT_EQ(Exchange(kHeader, 8), kHeaderAck);
    EXPECT_EQ(Exchange(block, block.size() + 2), BlockAck(block));
    expected.insert(expected.end(), block.begin(), block.end());
  }
  EXPECT_TRUE(line_.QuietFor(kGap)) << "no answer beyond the expected ones";

  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.blocks == 3; }));
  const DongleStats s = sim_->Stats();
  EXPECT_EQ(s.erases, 1);
  EXPECT_EQ(s.erasesAnswered, 1);
  EXPECT_EQ(s.headers, 3);
  EXPECT_EQ(s.blockLengths, (std::vector<std::size_t>{128, 128, 72}));
  EXPECT_EQ(s.blocksSinceErase, 3);
  EXPECT_EQ(s.image, expected);
  EXPECT_EQ(ReadFile(imagePath), expected) << "the image file follows every block";

  sim_->Stop();
  EXPECT_EQ(ReadFile(imagePath), expected);
  struct stat st {};
  EXPECT_NE(lstat(LinkPath().c_str(), &st), 0) << "Stop removes the link";
}

TEST_F(DongleSimTest, EraseWhereABlockIsExpectedStartsANewDownload) {
  StartSim({});
  EraseAndAnnounceABlock();
  const Bytes first = Sequence(128, 1);
  EXPECT_EQ(Exchange(first, 130), BlockAck(first));
  EXPECT_EQ(sim_->Stats().image, first) << "stats are up to date once the answer is read";
  EXPECT_EQ(Exchange(kHeader, 8), kHeaderAck);
  // The updater abandoned the download here and starts over.
  Send(kErase);
  EXPECT_EQ(line_.ReadRecord(kGap, kCap).bytes, kEraseAck) << "an erase, not a 5-byte block";
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.erases == 2; }));
  EXPECT_TRUE(sim_->Stats().image.empty()) << "the erase clears the image";

  EXPECT_EQ(Exchange(kHeader, 8), kHeaderAck);
  const Bytes second = Sequence(128, 7);
  EXPECT_EQ(Exchange(second, 130), BlockAck(second));
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.blocks == 2; }));
  const DongleStats s = sim_->Stats();
  EXPECT_EQ(s.image, second);
  EXPECT_EQ(s.blocksSinceErase, 1) << "block numbers restart with the download";
}

TEST_F(DongleSimTest, UnknownBytesAreSkippedUntilACommandStarts) {
  StartSim({});
  // Junk, two false starts of E0, then a real erase in the same burst.
  Send({0x00, 0x50, 0xE0, 0x99, 0xE0, 0x22, 0xE0, 0x22, 0x00, 0x00, 0x02});
  EXPECT_EQ(line_.ReadRecord(kGap, kCap).bytes, kEraseAck);
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.unknownBytes == 6; }));
  EXPECT_EQ(sim_->Stats().erases, 1);
}

TEST_F(DongleSimTest, PartialCommandIsDroppedAfterSilenceRatherThanCompletedLater) {
  StartSim({});
  Send({0xE0, 0x22, 0x00});
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.unknownBytes == 3; }));
  // Together with the stale prefix these would spell an erase.
  Send({0x00, 0x02});
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.unknownBytes == 5; }));
  EXPECT_EQ(sim_->Stats().erases, 0);
  EXPECT_EQ(Exchange(kErase, 2), kEraseAck) << "and the line still works";
}

TEST_F(DongleSimTest, StopAfterBlockAcknowledgesBlockKThenAnswersNothingButKeepsReading) {
  DongleOptions o;
  o.stopAfterBlock = 2;
  StartSim(o);
  EXPECT_EQ(Exchange(kErase, 2), kEraseAck);
  Bytes expected;
  for (std::uint8_t i = 0; i < 2; ++i) {
    EXPECT_EQ(Exchange(kHeader, 8), kHeaderAck);
    const Bytes block = Sequence(128, i);
    EXPECT_EQ(Exchange(block, 130), BlockAck(block)) << "block " << i + 1 << " is acknowledged";
    expected.insert(expected.end(), block.begin(), block.end());
  }
  Send(kHeader);
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.headers == 3; }));
  EXPECT_TRUE(line_.QuietFor(200ms));
  Send(kErase);
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.erases == 2; }));
  EXPECT_TRUE(line_.QuietFor(200ms));

  // Far more than a pseudo-terminal buffers: only a reading device takes it.
  ASSERT_TRUE(line_.Write(Bytes(std::size_t{64} * 1024, 0x33), kCap))
      << "the silent device stopped reading";
  const DongleStats s = sim_->Stats();
  EXPECT_TRUE(s.silent);
  EXPECT_EQ(s.image, expected) << "a silent device stores nothing more";
  EXPECT_TRUE(line_.QuietFor(100ms));
}

TEST_F(DongleSimTest, HangupAfterBlockDeliversTheAcknowledgementThenHangsUp) {
  DongleOptions o;
  o.hangupAfterBlock = 1;
  StartSim(o);
  EraseAndAnnounceABlock();
  const Bytes block = Sequence(128, 0x20);
  EXPECT_EQ(Exchange(block, 130), BlockAck(block)) << "the acknowledgement is not lost";
  EXPECT_TRUE(line_.WaitHangup(kCap));
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.hungUp; }));
  EXPECT_EQ(sim_->Stats().image, block);
  struct stat st {};
  EXPECT_NE(lstat(LinkPath().c_str(), &st), 0) << "an unplugged adapter leaves no port behind";
  sim_->Stop();  // after a hang-up Stop has nothing left to close
}

TEST_F(DongleSimTest, GarbageBurstsNeverPassForAnswersAndStandApartFromThem) {
  DongleOptions o;
  o.garbage = 300;
  o.garbageEveryBlocks = 2;
  StartSim(o);

  // Frames records the way the updater does and checks every one of them.
  std::vector<Record> all;
  int garbage = 0;
  auto expectAnswer = [&](const Bytes& command, const Bytes& answer) {
    Send(command);
    for (;;) {
      Record r = line_.ReadRecord(kUpdaterGap, kCap);
      ASSERT_FALSE(r.bytes.empty()) << "no answer";
      const bool isAnswer = r.bytes == answer;
      all.push_back(std::move(r));
      if (isAnswer) {
        return;
      }
      const Bytes& g = all.back().bytes;
      ++garbage;
      EXPECT_EQ(g.size(), 300U);
      EXPECT_FALSE(LooksLikeAnAnswer(g));
    }
  };
  expectAnswer(kErase, kEraseAck);
  for (std::uint8_t i = 0; i < 3; ++i) {
    expectAnswer(kHeader, kHeaderAck);
    const Bytes block = Sequence(128, static_cast<std::uint8_t>(i * 16));
    expectAnswer(block, BlockAck(block));
  }
  // One burst before the first answered erase, one after block 2; the
  // burst after block 2 shows up while waiting for the next header's answer.
  EXPECT_EQ(garbage, 2);
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.garbageBursts == 2; }));
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (LooksLikeAnAnswer(all[i].bytes)) {
      continue;
    }
    if (i > 0) {
      EXPECT_GE(all[i].first - all[i - 1].last, 150ms) << "silence before burst " << i;
    }
    if (i + 1 < all.size()) {
      EXPECT_GE(all[i + 1].first - all[i].last, 150ms) << "silence after burst " << i;
    }
  }
}

TEST_F(DongleSimTest, PacedAnswersTakeTheLineTime) {
  DongleOptions o;
  o.pace = true;
  o.baud = 19200;
  StartSim(o);
  EraseAndAnnounceABlock();
  const Bytes block = Sequence(128, 0x90);
  Send(block);
  const auto sent = Clock::now();
  const Record r = line_.ReadRecord(kUpdaterGap, kCap);
  EXPECT_EQ(r.bytes, BlockAck(block));
  // 130 bytes of 11 bits at 19200 baud cannot have crossed the line sooner.
  const auto byteTime = std::chrono::nanoseconds(11'000'000'000LL / 19200);
  EXPECT_GE(r.last - sent, byteTime * 130);
  EXPECT_GE(r.last - r.first, byteTime * 100) << "spread over the line time, not one write";
}

TEST_F(DongleSimTest, StopIsPromptWhileAPacedAnswerIsGoingOut) {
  DongleOptions o;
  o.pace = true;
  o.baud = 110;  // a block's answer takes 13 s at this rate
  StartSim(o);
  Send(kHeader);
  ASSERT_EQ(line_.ReadCount(1, kCap).size(), 1U);
  const auto before = Clock::now();
  sim_->Stop();
  EXPECT_LT(Clock::now() - before, kCap);
  EXPECT_TRUE(line_.WaitHangup(kCap));
}

TEST_F(DongleSimTest, ImageFileReplacesALinkPlantedAtItsPathInsteadOfFollowingIt) {
  const std::string victim = dir_.Path("victim");
  { std::ofstream(victim) << "untouched"; }
  const std::string imagePath = dir_.Path("image.bin");
  std::filesystem::create_symlink(victim, imagePath);
  DongleOptions o;
  o.imagePath = imagePath;
  StartSim(o);
  EraseAndAnnounceABlock();
  const Bytes block = Sequence(128, 3);
  EXPECT_EQ(Exchange(block, 130), BlockAck(block));
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return s.blocks == 1; }));
  EXPECT_FALSE(std::filesystem::is_symlink(imagePath));
  EXPECT_EQ(ReadFile(imagePath), block);
  std::ifstream in(victim);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "untouched");
}

TEST_F(DongleSimTest, UnwritableImagePathIsReportedNotIgnored) {
  DongleOptions o;
  o.imagePath = dir_.Path("no/such/dir/image.bin");
  StartSim(o);
  EXPECT_EQ(Exchange(kErase, 2), kEraseAck) << "a failed image write does not stop the device";
  ASSERT_TRUE(WaitFor([](const DongleStats& s) { return !s.imageError.empty(); }));
  EXPECT_NE(sim_->Stats().imageError.find("image.bin"), std::string::npos);
}

}  // namespace
}  // namespace tevra::sim
