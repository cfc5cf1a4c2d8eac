#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/event.h"
#include "platform/wait.h"

namespace tevra {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kGenerous{5000};
constexpr milliseconds kNow{0};

TEST(EventTest, OneSetWakesEveryWaiterAndStaysUntilReset) {
  Event e;
  WaitStatus a = WaitStatus::kFailed;
  WaitStatus b = WaitStatus::kFailed;
  std::thread ta([&] { a = WaitAny({&e}, kGenerous).status; });
  std::thread tb([&] { b = WaitAny({&e}, kGenerous).status; });
  ASSERT_TRUE(e.Set());
  ASSERT_TRUE(e.Set());  // a second Set must not need two Resets
  ta.join();
  tb.join();
  EXPECT_TRUE(a == WaitStatus::kSignalled && b == WaitStatus::kSignalled);
  EXPECT_TRUE(e.IsSet()) << "waits do not consume the signal";
  ASSERT_TRUE(e.Reset());
  EXPECT_EQ(WaitAny({&e}, kNow).status, WaitStatus::kTimedOut);
}

TEST(EventTest, ClosedEventsAndBadListsFail) {
  Event e;
  Event closed;
  closed.Close();
  EXPECT_FALSE(closed.Set());
  EXPECT_EQ(WaitAny({&closed}, kNow).status, WaitStatus::kFailed);
  EXPECT_EQ(WaitAny({&e, nullptr}, kNow).status, WaitStatus::kFailed);
  EXPECT_EQ(WaitAll({&e, &closed}, kNow).status, WaitStatus::kFailed);
}

TEST(WaitAnyTest, FirstListedWinsAndTimeoutsAreNeverCutShort) {
  Event stop;
  Event work;
  ASSERT_TRUE(work.Set());
  ASSERT_TRUE(stop.Set());
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(WaitAny({&stop, &work}, kGenerous).index, 0U);
  }
  ASSERT_TRUE(stop.Reset());
  EXPECT_EQ(WaitAny({&stop, &work}, kGenerous).index, 1U);
  for (const milliseconds wanted : {milliseconds{1}, milliseconds{100}}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitAny({&stop}, wanted).status, WaitStatus::kTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, wanted);
  }
}

TEST(WaitAllTest, OnlyWhenEveryOneIsSignalledAtOnce) {
  Event a;
  Event b;
  Event c;
  ASSERT_TRUE(a.Set());
  EXPECT_EQ(WaitAll({&a, &b, &c}, milliseconds{30}).status, WaitStatus::kTimedOut);
  // a goes before b and c come: at no instant are all signalled.
  std::thread t([&] {
    EXPECT_TRUE(a.Reset());
    EXPECT_TRUE(c.Set());
    EXPECT_TRUE(b.Set());
  });
  EXPECT_NE(WaitAll({&a, &b, &c}, milliseconds{200}).status, WaitStatus::kSignalled);
  t.join();
  std::thread setter([&] { EXPECT_TRUE(a.Set()); });
  EXPECT_EQ(WaitAll({&a, &b, &c}, kInfinite).status, WaitStatus::kSignalled);
  setter.join();
  EXPECT_TRUE(a.IsSet() && b.IsSet() && c.IsSet()) << "signals are not consumed";
}

}  // namespace
}  // namespace tevra
