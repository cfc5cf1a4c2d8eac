// The download protocol without window, port or real time: a scripted
// device answers what the sequencer sends; timer ticks come by hand.
#include "download/download_sequencer.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "download/fd_payload_source.h"
#include "tests/support/bytes.h"
#include "tests/support/temp_dir.h"

namespace tevra::test {
namespace {

using Seq = DownloadSequencer;

// The sink records everything; Answer plays a device that follows the protocol.
class SequencerTest : public testing::Test, public DownloadSink {
 protected:
  const Bytes kErase{0xE0, 0x22, 0x00, 0x00, 0x02};
  const Bytes kHeader{0xE0, 0x55, 0x00, 0x00, 0x80};
  const Bytes kEraseAck{0x50, 0x02};
  const Bytes kHeaderAck{0xB0, 0xB1, 0xB2};
  const Bytes kBlockAck{0x50, 0x00};

  void Send(const std::uint8_t* data, std::uint32_t len) override {
    sent.emplace_back(data, data + len);
  }
  void Log(std::string_view sentence) override { logs.emplace_back(sentence); }
  void Diagnostic(const std::string& line) override { diagnostics.push_back(line); }
  void Progress(int percent) override { progress.push_back(percent); }
  void SetTimer(int id, std::chrono::milliseconds period) override { timers[id] = period.count(); }
  void KillTimer(int id) override { timers.erase(id); }
  void DownloadEnded(bool finished) override { ended.push_back(finished); }

  std::string Start(const Bytes& payload, std::string path = {}, std::uint64_t length = 0) {
    if (path.empty()) {
      path = dir.Write("serial1.bin", payload);
      length = payload.size();
    }
    seq.OnPortOpened();
    EXPECT_TRUE(seq.StartDownload(FdPayloadSource::Open(path), length));
    return path;
  }
  void Record(Bytes bytes) {
    bytes.push_back(0);
    seq.OnRecord(bytes.data(), bytes.size());
  }
  void Answer() {
    const Bytes& last = sent.back();
    Record(last == kErase ? kEraseAck : Concat(last, last == kHeader ? kHeaderAck : kBlockAck));
  }
  // Answers until nothing more is sent; one answer releases one send at most.
  void Play() {
    for (std::size_t before = 0; before != sent.size() && !sent.empty();) {
      before = sent.size();
      Answer();
      ASSERT_LE(sent.size(), before + 1);
    }
  }
  std::vector<Bytes> Expected(const Bytes& payload) const {  // every answer came
    std::vector<Bytes> out{kErase};
    for (std::size_t at = 0; at == 0 || at < payload.size(); at += 128) {
      out.push_back(kHeader);
      const auto from = payload.begin() + static_cast<std::ptrdiff_t>(at);
      out.emplace_back(from, from + std::min<std::ptrdiff_t>(128, payload.end() - from));
    }
    return out;
  }

  TempDir dir;
  Seq seq{*this};
  std::vector<Bytes> sent;
  std::vector<std::string> logs, diagnostics;
  std::vector<int> progress;
  std::map<int, long> timers;
  std::vector<bool> ended;
};

TEST_F(SequencerTest, WholeDownloadsOfEverySize) {
  for (const std::size_t size : {1U, 127U, 128U, 200U, 256U, 16384U}) {
    SCOPED_TRACE(size);
    sent.clear(), logs.clear(), ended.clear();
    const Bytes payload = RandomBytes(size, 1);
    Start(payload);
    EXPECT_EQ(timers,
              (std::map<int, long>{{Seq::TIMER_PROGRESS, 1000}, {Seq::TIMER_ERASE_RETRY, 4000}}));
    Play();
    EXPECT_EQ(sent, Expected(payload));
    EXPECT_EQ(logs, std::vector<std::string>{"File download finish!"});
    EXPECT_EQ(ended, std::vector<bool>{true});
    EXPECT_TRUE(timers.empty());
    EXPECT_EQ(progress.back(), 0);
  }
  // Percentages stay right for payloads beyond 32-bit products.
  EXPECT_EQ(Seq::ProgressPercent(0xFFFFFFFF, 0x7FFFFFFF), 50);
  EXPECT_EQ(Seq::ProgressPercent(0xFFFFFFFF, 0), 100);
}

// The erase goes out again on every retry tick until acknowledged; while
// "Com settings" has the port closed the tick only logs. After "Com Close"
// while erasing no erase may ever reach a device.
TEST_F(SequencerTest, EraseIsRetriedUntilAcknowledgedOrAbandoned) {
  Start(RandomBytes(10, 3));
  seq.OnTimer(Seq::TIMER_ERASE_RETRY);
  seq.OnPortClosed();
  seq.OnTimer(Seq::TIMER_ERASE_RETRY);
  EXPECT_EQ(logs, std::vector<std::string>{"No Open Com!"});
  seq.OnPortOpened();
  seq.OnTimer(Seq::TIMER_ERASE_RETRY);
  EXPECT_EQ(sent, std::vector<Bytes>(3, kErase));
  seq.OnPortClosed();
  seq.AbandonDownload();
  EXPECT_EQ(ended, std::vector<bool>{false});
  EXPECT_EQ(timers, (std::map<int, long>{{Seq::TIMER_PROGRESS, 1000}})) << "Com Close leaves it";
  seq.OnPortOpened();
  seq.OnTimer(Seq::TIMER_ERASE_RETRY);  // a tick already on its way
  Record(kEraseAck);
  EXPECT_EQ(sent.size(), 3U);
  Start(RandomBytes(10, 3));
  Answer();
  EXPECT_EQ(timers.count(Seq::TIMER_ERASE_RETRY), 0U);
  seq.OnTimer(Seq::TIMER_ERASE_RETRY);
  EXPECT_EQ(sent.size(), 5U) << "the header, no more erases";
  EXPECT_EQ(logs.size(), 1U);
}

// An acknowledgement handled after the port closed keeps its block: sending
// it would lose it, and the last block would pass as finished.
TEST_F(SequencerTest, HeaderAcknowledgedWhileClosedKeepsTheBlock) {
  Start(RandomBytes(200, 6));
  Answer(), Answer(), Answer();  // up to the second header
  seq.OnPortClosed();
  Answer();
  EXPECT_EQ(logs, std::vector<std::string>{"No Open Com!"});
  EXPECT_EQ(seq.remainingBytes(), 72U);
  seq.OnPortOpened();
  Record(Concat(kHeader, kHeaderAck));
  EXPECT_EQ(sent.back().size(), 72U);
  // Sent is not delivered: only the device's acceptance finishes it.
  EXPECT_TRUE(ended.empty() && seq.downloading() && timers.count(Seq::TIMER_PROGRESS) == 1);
  Record(Concat(Bytes(128, 0), kBlockAck));  // a full block's offset: not this one's
  EXPECT_TRUE(ended.empty());
  Answer();
  EXPECT_EQ(ended, std::vector<bool>{true});
  EXPECT_EQ(logs.back(), "File download finish!");
}

// Each answer counts only while awaited and at its offset: payload bytes
// echoed by the device never pass for one, wherever they sit in a block.
TEST_F(SequencerTest, AnswerPatternsInsideBlocksAreNotAnswers) {
  for (const Bytes& pattern : {kEraseAck, kHeaderAck, kBlockAck, Concat(kHeader, kHeaderAck)}) {
    for (std::size_t at = 0; at + pattern.size() <= 128; ++at) {
      SCOPED_TRACE(testing::Message() << "pattern of " << pattern.size() << " at " << at);
      sent.clear();
      Bytes payload = RandomBytes(300, static_cast<std::uint32_t>(at));
      for (const std::size_t block : {0U, 128U}) {
        std::ranges::copy(pattern, payload.begin() + static_cast<std::ptrdiff_t>(block + at));
      }
      Start(payload);
      ASSERT_NO_FATAL_FAILURE(Play());
      ASSERT_EQ(sent, Expected(payload));
    }
  }
}

TEST_F(SequencerTest, OnlyTheAwaitedAnswerInARecordCounts) {
  Start(RandomBytes(300, 7));
  Record(Concat(kHeader, kHeaderAck));  // not awaited while erasing
  Record(Concat(kErase, kHeaderAck));
  // Erase and header acknowledgements joined in one record: one answer only.
  Record(Concat(kEraseAck, Concat({0, 0, 0}, kHeaderAck)));
  EXPECT_EQ(sent, (std::vector<Bytes>{kErase, kHeader}));
  // A header acknowledgement split over two records is not one.
  Record(Concat(kHeader, {0xB0}));
  Record({0xB1, 0xB2});
  EXPECT_EQ(sent.size(), 2U);
  Record(Concat(kHeader, kHeaderAck));
  Record(kEraseAck);  // no longer awaited
  Record(Concat(kHeader, kHeaderAck));
  EXPECT_EQ(sent.size(), 3U);
  // Nor is a block acceptance cut before its 00: a record's terminator is none of its bytes.
  Record(Concat(sent.back(), {0x50}));
  EXPECT_EQ(sent.size(), 3U);
}

// Empty, or too large for the counters: refused before anything reaches the
// device. Shortened behind its back, or unreadable: what is missing is not
// sent, nothing passes as finished, the cause is reported.
TEST_F(SequencerTest, BadPayloadFilesAreRefusedOrStallWithoutFinishing) {
  seq.OnPortOpened();
  for (const std::uint64_t length : {std::uint64_t{0}, std::uint64_t{1} << 32}) {
    EXPECT_FALSE(seq.StartDownload(FdPayloadSource::Open(dir.Write("big", {})), length));
  }
  EXPECT_EQ(logs, std::vector<std::string>(2, "open File failure!"));
  EXPECT_TRUE(sent.empty() && timers.empty());
  diagnostics.clear();
  const Bytes payload = RandomBytes(300, 9);
  const std::string path = Start(payload);
  Answer(), Answer(), Answer();
  std::filesystem::resize_file(path, 150);
  Play();
  EXPECT_EQ(sent.back(), Bytes(payload.begin() + 128, payload.begin() + 150));
  sent.clear();
  // A directory opens (FdPayloadSource::Open refuses one), but every read fails.
  seq.OnPortOpened();
  EXPECT_TRUE(
      seq.StartDownload(std::make_unique<FdPayloadSource>(
                            File(::open(dir.path().c_str(), O_RDONLY | O_CLOEXEC)), dir.path()),
                        300));
  Play();
  EXPECT_EQ(sent, (std::vector<Bytes>{kErase, kHeader}));
  ASSERT_EQ(diagnostics.size(), 2U);
  EXPECT_NE(diagnostics[0].find("ended 150 bytes early"), std::string::npos);
  EXPECT_NE(diagnostics[1].find("cannot read the payload file " + dir.path()), std::string::npos);
  EXPECT_TRUE(ended.empty() && seq.downloading());
}

}  // namespace
}  // namespace tevra::test
