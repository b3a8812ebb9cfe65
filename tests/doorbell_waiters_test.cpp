// The count of queued waits beside a doorbell word, checked over every interleaving of a producer
// and its waiters: the step machines of platform/doorbell_waiters.h run against a model of the word,
// the count and the system's wait queue, one shared access per step, and every order of steps is
// explored, with a waiter killed at any step where a row allows it. A waiter loops: it reads the
// word, takes what is new, and waits while the word holds what it read. In every state where nothing
// can move any more, no live waiter is left asleep (a lost ring): with waits that have no limit, it
// would sleep for ever.
#include "platform/doorbell_waiters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

using platform::DoorbellWait;
using platform::doorbell_waiters::Ringer;
using platform::doorbell_waiters::Waiter;

constexpr int kMostWaiters = 3;

struct WaiterState {
  enum Phase : uint8_t { kLook, kWaiting, kDone, kKilled };
  Phase phase = kLook;
  bool asleep = false;
  uint8_t seen = 0;
  uint8_t taken = 0;  // records taken so far
  Waiter machine;
};

struct State {
  uint8_t word = 0;    // records put
  uint8_t count = 0;   // queued waits, as the shared count holds them
  uint8_t puts = 0;    // puts begun
  uint8_t put_pc = 0;  // 0: the next put begins; 1: its ringer runs; 2: its word changes
  bool killed = false;
  Ringer ringer;
  WaiterState waiters[kMostWaiters];
};

struct Check {
  int waiters = 2;
  int puts = 2;
  bool kill = false;
  // The ringer reads the count before the word changes: the order the check must find wrong.
  bool count_first = false;

  std::unordered_set<std::string> seen;
  std::size_t states = 0;
  std::size_t skipped = 0;  // rings that found nobody counted and made no wake
  std::size_t wakes = 0;
  std::string failure;

  // What the machines touch, on state `s`; `w` is the waiter stepping (-1 for the producer).
  struct Access {
    State& s;
    int w;
    void CountIn() { ++s.count; }
    DoorbellWait Sleep() {
      if (s.word != s.waiters[w].seen) return DoorbellWait::kRung;  // the system compares first
      s.waiters[w].asleep = true;
      return DoorbellWait::kRung;
    }
    void CountOut() { --s.count; }
    uint32_t Queued() { return s.count; }
    void Wake() {
      for (WaiterState& ws : s.waiters) ws.asleep = false;
    }
  };

  static std::string Key(const State& s) {
    std::string key;
    key.push_back(static_cast<char>(s.word));
    key.push_back(static_cast<char>(s.count));
    key.push_back(static_cast<char>(s.puts));
    key.push_back(static_cast<char>(s.put_pc));
    key.push_back(static_cast<char>(s.killed));
    key.push_back(static_cast<char>(s.ringer.pc()));
    for (const WaiterState& w : s.waiters) {
      key.push_back(static_cast<char>(w.phase));
      key.push_back(static_cast<char>(w.asleep));
      key.push_back(static_cast<char>(w.seen));
      key.push_back(static_cast<char>(w.taken));
      key.push_back(static_cast<char>(w.machine.pc()));
    }
    return key;
  }

  // One step of the producer; false when it has nothing left.
  bool StepProducer(State& s) {
    if (s.put_pc == 0) {
      if (s.puts == puts) return false;
      ++s.puts;
      s.ringer = Ringer{};
      if (count_first) {
        Access a{s, -1};
        RingerStep(s, a);
        s.put_pc = 2;
        return true;
      }
      ++s.word;
      s.put_pc = 1;
      return true;
    }
    if (s.put_pc == 2) {  // the word changes after the count was read
      ++s.word;
      s.put_pc = s.ringer.pc() == 2 ? 0 : 1;  // the read found nobody: no wake to make
      return true;
    }
    Access a{s, -1};
    if (!RingerStep(s, a)) s.put_pc = 0;
    return true;
  }

  bool RingerStep(State& s, Access& a) {
    const int before = s.ringer.pc();
    const bool more = s.ringer.Step(a);
    if (before == 0 && !more) ++skipped;
    if (before == 1) ++wakes;
    return more;
  }

  // One step of waiter `w`; false when it cannot move.
  bool StepWaiter(State& s, int w) {
    WaiterState& ws = s.waiters[w];
    if (ws.asleep || ws.phase == WaiterState::kDone || ws.phase == WaiterState::kKilled) return false;
    if (ws.phase == WaiterState::kLook) {
      // It reads the word, then looks for records: what the word counts is what it may take.
      ws.seen = s.word;
      if (ws.taken != ws.seen) {
        ws.taken = ws.seen;
        if (ws.taken == puts) ws.phase = WaiterState::kDone;
        return true;
      }
      ws.machine = Waiter{};
      ws.phase = WaiterState::kWaiting;
      return true;
    }
    Access a{s, w};
    if (!ws.machine.Step(a)) ws.phase = WaiterState::kLook;
    return true;
  }

  void Push(std::vector<State>& stack, const State& next) {
    if (seen.insert(Key(next)).second) stack.push_back(next);
  }

  std::string Run() {
    std::vector<State> stack(1);
    seen.insert(Key(stack[0]));
    while (!stack.empty() && failure.empty()) {
      const State s = stack.back();
      stack.pop_back();
      ++states;
      bool moved = false;
      State next = s;
      if (StepProducer(next)) {
        moved = true;
        Push(stack, next);
      }
      for (int w = 0; w < waiters; ++w) {
        next = s;
        if (StepWaiter(next, w)) {
          moved = true;
          Push(stack, next);
        }
        // A waiter killed at this point (once a run): whatever it counted stays counted.
        const WaiterState::Phase p = s.waiters[w].phase;
        if (kill && !s.killed && p != WaiterState::kDone && p != WaiterState::kKilled) {
          next = s;
          next.killed = true;
          next.waiters[w].phase = WaiterState::kKilled;
          next.waiters[w].asleep = false;
          Push(stack, next);
        }
      }
      if (moved) continue;
      for (int w = 0; w < waiters; ++w)
        if (s.waiters[w].asleep)
          failure = "waiter " + std::to_string(w) + " asleep for ever: it took " +
                    std::to_string(s.waiters[w].taken) + " of " + std::to_string(puts) + " records";
    }
    return failure;
  }
};

TEST(DoorbellWaiters, EveryInterleavingWakesEveryLiveWaiterAndRingsWithNobodyQueuedMakeNoWake) {
  struct Row {
    const char* what;
    int waiters, puts;
    bool kill, count_first, lost_ring;
  };
  const Row rows[] = {
      {"one waiter", 1, 3, false, false, false},
      {"two waiters", 2, 3, false, false, false},
      {"three waiters", 3, 2, false, false, false},
      {"two waiters, one killed anywhere", 2, 3, true, false, false},
      {"three waiters, one killed anywhere", 3, 2, true, false, false},
      // The check itself: a ringer that reads the count before it changes the word loses rings.
      {"count read before the word changes", 1, 2, false, true, true},
  };
  for (const Row& row : rows) {
    Check check;
    check.waiters = row.waiters;
    check.puts = row.puts;
    check.kill = row.kill;
    check.count_first = row.count_first;
    const std::string failure = check.Run();
    EXPECT_EQ(!failure.empty(), row.lost_ring) << row.what << ": " << failure;
    if (!row.lost_ring) {
      // Both sides of the ring were reached: some rings found nobody and made no wake, some woke.
      EXPECT_GT(check.skipped, 0u) << row.what;
      EXPECT_GT(check.wakes, 0u) << row.what;
    }
    std::printf("%s: %zu states\n", row.what, check.states);
  }
}

}  // namespace
