#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/event.h"
#include "platform/wait.h"

namespace tevra {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
constexpr milliseconds kGenerous{5000};

TEST(EventTest, StaysSignalledForEveryWaiterUntilReset) {
  Event e;
  ASSERT_TRUE(e.valid());
  EXPECT_FALSE(e.IsSet());
  ASSERT_TRUE(e.Set());
  ASSERT_TRUE(e.Set());  // a second Set must not need two Resets
  EXPECT_EQ(WaitAny({&e}, milliseconds{0}).status, WaitStatus::kSignalled);
  EXPECT_EQ(WaitAny({&e}, milliseconds{0}).status, WaitStatus::kSignalled);
  EXPECT_TRUE(e.IsSet());
  ASSERT_TRUE(e.Reset());
  EXPECT_FALSE(e.IsSet());
  EXPECT_TRUE(e.Reset());  // resetting a clear event is fine
  EXPECT_EQ(WaitAny({&e}, milliseconds{0}).status, WaitStatus::kTimedOut);
}

TEST(EventTest, TwoThreadsWaitingBothWakeOnOneSet) {
  Event e;
  WaitStatus a = WaitStatus::kFailed;
  WaitStatus b = WaitStatus::kFailed;
  std::thread ta([&] { a = WaitAny({&e}, kGenerous).status; });
  std::thread tb([&] { b = WaitAny({&e}, kGenerous).status; });
  ASSERT_TRUE(e.Set());
  ta.join();
  tb.join();
  EXPECT_EQ(a, WaitStatus::kSignalled);
  EXPECT_EQ(b, WaitStatus::kSignalled);
}

TEST(EventTest, ClosedEventFailsEveryOperation) {
  Event e;
  e.Close();
  EXPECT_FALSE(e.valid());
  EXPECT_FALSE(e.Set());
  EXPECT_FALSE(e.Reset());
  EXPECT_FALSE(e.IsSet());
  EXPECT_EQ(WaitAny({&e}, milliseconds{0}).status, WaitStatus::kFailed);
  e.Close();  // twice is harmless
}

TEST(WaitAnyTest, FirstListedWinsWhenSeveralAreSignalled) {
  Event stop;
  Event work;
  ASSERT_TRUE(work.Set());
  ASSERT_TRUE(stop.Set());
  for (int i = 0; i < 100; ++i) {
    const WaitResult r = WaitAny({&stop, &work}, kGenerous);
    ASSERT_EQ(r.status, WaitStatus::kSignalled);
    ASSERT_EQ(r.index, 0U);
  }
  const WaitResult swapped = WaitAny({&work, &stop}, kGenerous);
  EXPECT_EQ(swapped.index, 0U);
  ASSERT_TRUE(stop.Reset());
  EXPECT_EQ(WaitAny({&stop, &work}, kGenerous).index, 1U);
}

TEST(WaitAnyTest, TimeoutIsNeverCutShort) {
  Event e;
  for (const milliseconds wanted : {milliseconds{1}, milliseconds{20}, milliseconds{100}}) {
    const auto start = Clock::now();
    EXPECT_EQ(WaitAny({&e}, wanted).status, WaitStatus::kTimedOut);
    EXPECT_GE(Clock::now() - start, wanted);
  }
}

TEST(WaitAnyTest, InfiniteWaitsWokenFromAnotherThread) {
  Event stop;
  Event work;
  std::thread setter([&] { EXPECT_TRUE(work.Set()); });
  const WaitResult r = WaitAny({&stop, &work}, kInfinite);
  setter.join();
  EXPECT_EQ(r.status, WaitStatus::kSignalled);
  EXPECT_EQ(r.index, 1U);

  // WaitAll, with the events signalled one by one out of order.
  Event a;
  Event b;
  Event c;
  std::thread t([&] {
    EXPECT_TRUE(c.Set());
    EXPECT_TRUE(a.Set());
    EXPECT_TRUE(b.Set());
  });
  EXPECT_EQ(WaitAll({&a, &b, &c}, kInfinite).status, WaitStatus::kSignalled);
  t.join();
}

TEST(WaitAnyTest, BadListsFail) {
  Event e;
  Event closed;
  closed.Close();
  EXPECT_EQ(WaitAny({}, milliseconds{0}).status, WaitStatus::kFailed);
  EXPECT_EQ(WaitAny({&e, nullptr}, milliseconds{0}).status, WaitStatus::kFailed);
  EXPECT_EQ(WaitAny({&e, &closed}, milliseconds{0}).status, WaitStatus::kFailed);
  EXPECT_EQ(WaitAll({&e, &closed}, milliseconds{0}).status, WaitStatus::kFailed);
  EXPECT_EQ(WaitAll({}, milliseconds{0}).status, WaitStatus::kFailed);
}

TEST(WaitAllTest, OnlyWhenEverySingleOneIsSignalled) {
  Event a;
  Event b;
  Event c;
  ASSERT_TRUE(a.Set());
  ASSERT_TRUE(c.Set());
  EXPECT_EQ(WaitAll({&a, &b, &c}, milliseconds{30}).status, WaitStatus::kTimedOut);
  ASSERT_TRUE(b.Set());
  EXPECT_EQ(WaitAll({&a, &b, &c}, milliseconds{0}).status, WaitStatus::kSignalled);
  // Signals are not consumed.
  EXPECT_TRUE(a.IsSet());
  EXPECT_TRUE(b.IsSet());
  EXPECT_TRUE(c.IsSet());
}

TEST(WaitAllTest, OneResetWhileWaitingForTheOthersIsNoticed) {
  Event a;
  Event b;
  ASSERT_TRUE(a.Set());
  std::thread t([&] {
    // a goes before b comes: at no instant are both signalled.
    EXPECT_TRUE(a.Reset());
    EXPECT_TRUE(b.Set());
  });
  const WaitResult r = WaitAll({&a, &b}, milliseconds{200});
  t.join();
  if (r.status == WaitStatus::kSignalled) {
    ADD_FAILURE() << "reported all signalled although a was reset before b was set";
  }
  ASSERT_TRUE(a.Set());
  EXPECT_EQ(WaitAll({&a, &b}, kGenerous).status, WaitStatus::kSignalled);
}

}  // namespace
}  // namespace tevra
