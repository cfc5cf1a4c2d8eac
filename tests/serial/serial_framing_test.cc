// Framing received bytes into records by the quiet gap. Timing cases repeat an
// attempt a stall distorted (a wrong port fails every attempt alike).
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "serial/quiet_gap_thread.h"
#include "tests/serial/serial_test_support.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;

class SerialFraming : public OpenPortTest {
 protected:
  std::vector<Bytes8> CollectRecords(std::size_t total) {
    std::vector<Bytes8> records;
    for (std::size_t seen = 0; seen < total;) {
      const std::optional<Posted> post = target_.Next();
      const auto record = post ? ReceiveRecord(port_) : std::nullopt;
      if (!record) {
        ADD_FAILURE() << "only " << seen << " of " << total << " bytes arrived";
        break;
      }
      seen += record->size();
      records.push_back(*record);
    }
    return records;
  }
};

TEST_F(SerialFraming, OneBurstGivesOneRecordNoEarlierThanTheQuietGap) {
  const auto before = Clock::now();
  DeviceWrites(Bytes("0123456789"));
  EXPECT_GE(ExpectRecordPost().at - before, kQuietGap);
  EXPECT_EQ(ReceiveRecord(port_), Bytes("0123456789"));
  EXPECT_FALSE(ReceiveRecord(port_).has_value());
  EXPECT_FALSE(target_.Next(0ms)) << "one notification per record";
}

// Writes one byte at each offset; a line talking every 30 ms stays one
// record, bursts 150 ms apart are two.
TEST_F(SerialFraming, RecordsEndOnlyAtTheQuietGap) {
  const struct {
    const char* name;
    std::vector<milliseconds> offsets;
    std::size_t records;
  } cases[] = {
      {"talking", {0ms, 30ms, 60ms, 90ms, 120ms, 150ms, 180ms, 210ms, 240ms, 270ms}, 1},
      {"apart", {0ms, 150ms}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool passed = false;
    for (int attempt = 0; attempt < 3 && !passed; ++attempt) {
      Bytes8 sent;
      Clock::duration widest{};
      auto previous = Clock::now();
      const auto t0 = previous;
      for (const milliseconds at : c.offsets) {
        std::this_thread::sleep_until(t0 + at);
        sent.push_back(static_cast<std::uint8_t>('a' + sent.size()));
        DeviceWrites({sent.back()});
        widest = std::max(widest, Clock::now() - previous);
        previous = Clock::now();
      }
      const std::vector<Bytes8> records = CollectRecords(sent.size());
      Bytes8 joined;
      for (const Bytes8& r : records) {
        joined.insert(joined.end(), r.begin(), r.end());
      }
      ASSERT_EQ(joined, sent);
      passed = records.size() == c.records;
      // A split with no gap of the quiet length left is a fault, not a stall.
      ASSERT_FALSE(records.size() > c.records && widest < 90ms);
    }
    EXPECT_TRUE(passed) << "wrong framing in every attempt";
  }
}

// Input from before Open, a record never received and a send queued while
// closed are all gone after the next Open.
TEST_F(SerialFraming, OpenStartsWithEmptyLineAndChannels) {
  DeviceWrites(Bytes("unread"));
  ExpectRecordPost();
  ASSERT_TRUE(port_.Close());
  ASSERT_TRUE(port_.Send("old", 3));
  DeviceWrites(Bytes("stale"));
  ASSERT_TRUE(OpenLikeUpdater(port_, &target_));
  EXPECT_FALSE(ReceiveRecord(port_).has_value());
  DeviceSendsRecord(Bytes("fresh"));
  ASSERT_TRUE(port_.Send("new", 3));
  EXPECT_EQ(ReadFromLink(link_, 3), Bytes("new"));
}

}  // namespace
}  // namespace tevra
