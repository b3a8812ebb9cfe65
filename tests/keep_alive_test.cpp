// The keep-alive rhythm from tables of moments: what the link loop is told to do at each tick, and
// which answers are accepted. No threads, no sleeps.
#include "relay/link/keep_alive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One moment: a tick of the link loop (with or without an upload running), or an answer.
struct Moment {
  enum Kind { kTick, kTickUploading, kAnswer } kind;
  uint32_t at;
  // What must come of it: "send", "missed N", "lost", "" (nothing) for ticks; "accepted" or
  // "ignored" for answers.
  std::string expect;
};

std::string Play(relay::KeepAlive& k, const Moment& m) {
  if (m.kind == Moment::kAnswer) {
    uint32_t rtt = 0;
    return k.OnAnswer(m.at, rtt) ? "accepted" : "ignored";
  }
  relay::KeepAliveStep step = k.Tick(m.at, m.kind == Moment::kTickUploading);
  if (step.send_pair) k.Sent(m.at);
  if (step.lost) return "lost";
  if (step.missed) return "missed " + std::to_string(step.missed_count);
  return step.send_pair ? "send" : "";
}

struct Case {
  const char* name;
  std::vector<Moment> moments;
};

TEST(KeepAlive, RhythmFromTables) {
  using M = Moment;
  const Case cases[] = {
      {"the first tick sends at once", {{M::kTick, 0, "send"}, {M::kTick, 20, ""}, {M::kTick, 1999, ""}}},
      {"an answer is accepted once and the next pair waits out its window",
       {{M::kTick, 0, "send"},
        {M::kAnswer, 30, "accepted"},
        {M::kAnswer, 31, "ignored"},  // the other board's answer to the same pair
        {M::kTick, 40, ""},
        {M::kTick, 2030, ""},  // not after the deadline yet
        {M::kTick, 2031, "send"}}},
      {"an answer nobody awaits is ignored", {{M::kAnswer, 5, "ignored"}, {M::kTick, 10, "send"}}},
      {"each silent window counts, the fifth loses the link",
       {{M::kTick, 0, "send"},
        {M::kTick, 2000, ""},
        {M::kTick, 2001, "missed 1"},
        {M::kTick, 2002, "send"},
        {M::kTick, 4003, "missed 2"},
        {M::kTick, 4004, "send"},
        {M::kTick, 6005, "missed 3"},
        {M::kTick, 6006, "send"},
        {M::kTick, 8007, "missed 4"},
        {M::kTick, 8008, "send"},
        {M::kTick, 10009, "lost"}}},
      {"an answer clears the count of missed ones",
       {{M::kTick, 0, "send"},
        {M::kTick, 2001, "missed 1"},
        {M::kTick, 2002, "send"},
        {M::kAnswer, 2100, "accepted"},
        {M::kTick, 4101, "send"},
        {M::kTick, 6102, "missed 1"}}},
      {"an upload sends nothing and misses nothing",
       {{M::kTickUploading, 0, ""},
        {M::kTick, 1, "send"},
        {M::kTickUploading, 5000, ""},
        {M::kTickUploading, 9000, ""},
        {M::kTick, 9001, "missed 1"}}},
      {"the tick counter wraps",
       {{M::kTick, 0xFFFFFF00u, "send"},
        {M::kAnswer, 0xFFFFFF80u, "accepted"},
        {M::kTick, 0x00000750u, ""},  // 0xFFFFFF80 + 2000, wrapped: the deadline itself
        {M::kTick, 0x00000751u, "send"}}},
  };
  for (const Case& c : cases) {
    relay::KeepAlive k;
    k.StartRun();
    for (std::size_t i = 0; i < c.moments.size(); ++i)
      EXPECT_EQ(Play(k, c.moments[i]), c.moments[i].expect) << c.name << ", moment " << i;
  }
}

TEST(KeepAlive, RoundTripAndANewRun) {
  relay::KeepAlive k;
  k.StartRun();
  ASSERT_TRUE(k.Tick(100, false).send_pair);
  k.Sent(100);
  uint32_t rtt = 0;
  ASSERT_TRUE(k.OnAnswer(137, rtt));
  EXPECT_EQ(rtt, 37u);
  // Missed answers of one run do not carry into the next.
  ASSERT_TRUE(k.Tick(2138, false).send_pair);
  k.Sent(2138);
  EXPECT_EQ(k.Tick(4139, false).missed_count, 1);
  k.StartRun();
  EXPECT_EQ(k.missed(), 0);
}

}  // namespace
