#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/lock.h"
#include "platform/thread.h"

namespace {

TEST(Clock, TickComparisonsSurviveWrapAround) {
  EXPECT_TRUE(platform::TickAfter(5, 0xFFFFFFF0u));
  EXPECT_FALSE(platform::TickAfter(0xFFFFFFF0u, 5));
  EXPECT_FALSE(platform::TickAfter(7, 7));
  EXPECT_EQ(platform::TickElapsed(5, 0xFFFFFFF0u), 21u);
  EXPECT_EQ(platform::TickElapsed(2005, 5), 2000u);
}

TEST(Clock, TimeScaleParsing) {
  EXPECT_EQ(platform::ParseTimeScale(nullptr), 1.0);
  EXPECT_EQ(platform::ParseTimeScale(""), 1.0);
  EXPECT_EQ(platform::ParseTimeScale("abc"), 1.0);
  EXPECT_EQ(platform::ParseTimeScale("-2"), 1.0);
  EXPECT_EQ(platform::ParseTimeScale("0"), 1.0);
  EXPECT_EQ(platform::ParseTimeScale("inf"), 1.0);
  EXPECT_DOUBLE_EQ(platform::ParseTimeScale("0.1"), 0.1);
}

TEST(Clock, ScaledSleepAdvancesTheScaledTickByAtLeastItsLength) {
  // The suite runs with a small scale; a 400 ms sleep must look like at least 400 ms on the tick.
  uint32_t before = platform::TickCount();
  platform::Sleep(400);
  EXPECT_GE(platform::TickElapsed(platform::TickCount(), before), 399u);
}

TEST(Lock, IsRecursiveAndExcludesOtherThreads) {
  platform::RecursiveLock lock;
  int counter = 0;
  {
    platform::LockGuard outer(lock);
    platform::LockGuard inner(lock);  // a non-recursive lock would deadlock here
    ++counter;
  }
  std::vector<platform::Thread> threads(4);
  for (auto& t : threads) {
    ASSERT_TRUE(platform::StartThread(
        [&] {
          for (int i = 0; i < 10000; ++i) {
            platform::LockGuard g(lock);
            ++counter;
          }
        },
        t));
  }
  for (auto& t : threads) t.Join();
  EXPECT_EQ(counter, 40001);
}

TEST(Thread, MovedHandleStillJoinsOnce) {
  std::atomic<int> ran{0};
  platform::Thread a;
  ASSERT_TRUE(platform::StartThread([&] { ran.fetch_add(1); }, a));
  platform::Thread b = std::move(a);
  EXPECT_FALSE(a.Running());
  EXPECT_TRUE(b.Running());
  b.Join();
  EXPECT_FALSE(b.Running());
  EXPECT_EQ(ran.load(), 1);
}

TEST(DebugOutput, OneLinePerMessage) {
  std::vector<std::string> lines;
  platform::SetDebugObserver([&](std::string_view l) { lines.emplace_back(l); });
  platform::DebugOutput("\nProbable Write Timeout: Total of %ld bytes sent\n", 12L);
  platform::DebugOutput("two\nparts");
  platform::SetDebugObserver({});
  platform::DebugOutput("not observed");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Probable Write Timeout: Total of 12 bytes sent");
  EXPECT_EQ(lines[1], "two parts");
}

}  // namespace
