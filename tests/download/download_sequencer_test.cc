// The download protocol without window, port or real time: a scripted
// device answers what the sequencer sends; timer ticks come by hand.
#include "download/download_sequencer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

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
  void LastBlockAcknowledged() override { ++delivered; }

  // Downloads `payload` from a real file, or `length` bytes from `path`.
  std::string Start(const Bytes& payload, std::string path = {}, std::uint64_t length = 0) {
    if (path.empty()) {
      path = dir.Write("serial1.bin", payload);
      length = payload.size();
    }
    seq.OnPortOpened();
    EXPECT_TRUE(seq.StartDownload(FdPayloadSource::Open(path), length));
    return path;
  }
  // A record as the port delivers it: the bytes and a terminating zero.
  void Record(Bytes bytes) {
    bytes.push_back(0);
    seq.OnRecord(bytes.data(), bytes.size());
  }
  // The device's answer to the last thing sent.
  void Answer() {
    const Bytes& last = sent.back();
    if (last == kErase) {
      Record(kEraseAck);
    } else if (last == kHeader) {
      Record(Concat(kHeader, kHeaderAck));
    } else {
      Record(Concat(last, kBlockAck));
    }
  }
  // Answers until nothing more is sent; one answer releases one send at most.
  void Play() {
    for (std::size_t before = 0; before != sent.size() && !sent.empty();) {
      before = sent.size();
      Answer();
      ASSERT_LE(sent.size(), before + 1);
    }
  }
  // What a whole download of `payload` sends when every answer comes.
  std::vector<Bytes> Expected(const Bytes& payload) const {
    std::vector<Bytes> out{kErase};
    std::size_t at = 0;
    do {
      const std::size_t n = std::min<std::size_t>(128, payload.size() - at);
      out.push_back(kHeader);
      out.emplace_back(payload.begin() + static_cast<std::ptrdiff_t>(at),
                       payload.begin() + static_cast<std::ptrdiff_t>(at + n));
      at += n;
    } while (at < payload.size());
    return out;
  }

  TempDir dir;
  Seq seq{*this};
  std::vector<Bytes> sent;
  std::vector<std::string> logs, diagnostics;
  std::vector<int> progress;
  std::map<int, long> timers;
  std::vector<bool> ended;
  int delivered = 0;
};

TEST_F(SequencerTest, WholeDownloadsOfEverySize) {
  for (const std::size_t size : {0U, 1U, 127U, 128U, 200U, 256U, 16384U}) {
    SCOPED_TRACE(size);
    sent.clear(), logs.clear(), ended.clear(), delivered = 0;
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
    EXPECT_EQ(delivered, 1) << "the device's acceptance of the last block is reported";
    EXPECT_FALSE(seq.downloading());
  }
  // Percentages stay right for payloads beyond 32-bit products.
  EXPECT_EQ(Seq::ProgressPercent(200, 72), 64);
  EXPECT_EQ(Seq::ProgressPercent(0xFFFFFFFF, 0x7FFFFFFF), 50);
  EXPECT_EQ(Seq::ProgressPercent(0xFFFFFFFF, 0), 100);
}

// The erase goes out again on every retry tick until acknowledged; while
// "Com settings" has the port closed the tick only logs.
TEST_F(SequencerTest, EraseIsRetriedUntilAcknowledged) {
  Start(RandomBytes(10, 3));
  seq.OnTimer(Seq::TIMER_ERASE_RETRY);
  seq.OnPortClosed();
  seq.OnTimer(Seq::TIMER_ERASE_RETRY);
  EXPECT_EQ(logs, std::vector<std::string>{"No Open Com!"});
  seq.OnPortOpened();
  seq.OnTimer(Seq::TIMER_ERASE_RETRY);
  EXPECT_EQ(sent, std::vector<Bytes>(3, kErase));
  Answer();
  EXPECT_EQ(timers.count(Seq::TIMER_ERASE_RETRY), 0U);
  seq.OnTimer(Seq::TIMER_ERASE_RETRY);
  EXPECT_EQ(sent.size(), 4U) << "the header, no more erases";
}

// "Com Close" while erasing: no erase may ever reach a device afterwards.
TEST_F(SequencerTest, AbandonStopsTheEraseRetry) {
  Start(RandomBytes(10, 5));
  seq.OnPortClosed();
  seq.AbandonDownload();
  EXPECT_EQ(ended, std::vector<bool>{false});
  EXPECT_EQ(timers.count(Seq::TIMER_ERASE_RETRY), 0U);
  EXPECT_EQ(timers.count(Seq::TIMER_PROGRESS), 1U) << "Com Close leaves the progress timer";
  seq.OnPortOpened();
  seq.OnTimer(Seq::TIMER_ERASE_RETRY);  // a tick already on its way
  Record(kEraseAck);
  EXPECT_EQ(sent.size(), 1U);
  EXPECT_TRUE(logs.empty());
}

// An acknowledgement handled after the port closed keeps its block: sending
// it would lose it, and the last block would pass as finished.
TEST_F(SequencerTest, HeaderAcknowledgedWhileClosedKeepsTheBlock) {
  Start(RandomBytes(200, 6));
  for (int i = 0; i < 3; ++i) {
    Answer();  // up to the second header
  }
  seq.OnPortClosed();
  Answer();
  EXPECT_EQ(logs, std::vector<std::string>{"No Open Com!"});
  EXPECT_EQ(seq.remainingBytes(), 72U);
  seq.OnPortOpened();
  Record(Concat(kHeader, kHeaderAck));
  EXPECT_EQ(sent.back().size(), 72U);
  EXPECT_EQ(ended, std::vector<bool>{true});
}

// Each answer counts only while awaited and at its offset: payload bytes
// echoed by the device never pass for one, wherever they sit in a block.
TEST_F(SequencerTest, AnswerPatternsInsideBlocksAreNotAnswers) {
  for (const Bytes& pattern : {kEraseAck, kHeaderAck, kBlockAck, Concat(kHeader, kHeaderAck)}) {
    for (std::size_t at = 0; at + pattern.size() <= 128; ++at) {
      SCOPED_TRACE(testing::Message() << "pattern of " << pattern.size() << " at " << at);
      sent.clear();
      Bytes payload = RandomBytes(300, static_cast<std::uint32_t>(at));
      std::copy(pattern.begin(), pattern.end(), payload.begin() + static_cast<std::ptrdiff_t>(at));
      std::copy(pattern.begin(), pattern.end(),
                payload.begin() + static_cast<std::ptrdiff_t>(128 + at));
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
  EXPECT_EQ(sent.size(), 1U);
  // Erase and header acknowledgements joined in one record: one answer only.
  Record(Concat(kEraseAck, Concat({0, 0, 0}, kHeaderAck)));
  EXPECT_EQ(sent, (std::vector<Bytes>{kErase, kHeader}));
  // A header acknowledgement split over two records is not one.
  Record(Concat(kHeader, {0xB0}));
  Record({0xB1, 0xB2});
  EXPECT_EQ(sent.size(), 2U);
  Record(Concat(kHeader, kHeaderAck));
  ASSERT_EQ(sent.size(), 3U);
  Record(kEraseAck);  // no longer awaited
  Record(Concat(kHeader, kHeaderAck));
  EXPECT_EQ(sent.size(), 3U);
}

// A payload too large for the counters is refused. One shortened behind the
// sequencer's back, or unreadable: what is missing is not sent, nothing
// passes as finished, the cause is reported.
TEST_F(SequencerTest, BadPayloadFilesAreRefusedOrStallWithoutFinishing) {
  seq.OnPortOpened();
  EXPECT_FALSE(
      seq.StartDownload(FdPayloadSource::Open(dir.Write("big", {})), std::uint64_t{1} << 32));
  EXPECT_EQ(logs, std::vector<std::string>{"open File failure!"});
  EXPECT_TRUE(sent.empty() && timers.empty());
  diagnostics.clear();
  const Bytes payload = RandomBytes(300, 9);
  const std::string path = Start(payload);
  for (int i = 0; i < 3; ++i) {
    Answer();
  }
  std::filesystem::resize_file(path, 150);
  Play();
  EXPECT_EQ(sent.back(), Bytes(payload.begin() + 128, payload.begin() + 150));
  sent.clear();
  Start({}, dir.path(), 300);  // a directory: every read fails
  Play();
  EXPECT_EQ(sent, (std::vector<Bytes>{kErase, kHeader}));
  ASSERT_EQ(diagnostics.size(), 2U);
  EXPECT_NE(diagnostics[0].find("ended 150 bytes early"), std::string::npos);
  EXPECT_NE(diagnostics[1].find("cannot read the payload file " + dir.path()), std::string::npos);
  EXPECT_TRUE(ended.empty() && seq.downloading());
}

}  // namespace
}  // namespace tevra::test
