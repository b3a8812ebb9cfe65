// The command ring's claim and take protocol, checked over every interleaving of two writers and the
// relay on a small ring: the machines of exchange/command_protocol.h run step by step (each step one
// access to the ring), every order of steps is explored, and every question the world answers (a put
// out of time, a writer given up for stopped) is answered both ways. A writer that stops for good is
// one that is never scheduled again. In every reachable state: no record is sent twice, none is sent
// half written or out of its writer's order, and whenever the relay has caught up with the head,
// every put that said it was stored after it saw the relay's mark has been sent.
#include "exchange/command_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "exchange/command_ring.h"
#include "exchange/ring_words.h"
#include "exchange/sections.h"

namespace {

using exchange::command_protocol::Ring;
using exchange::command_protocol::Starter;
using exchange::command_protocol::Taker;
using exchange::command_protocol::TakerState;
using exchange::command_protocol::World;
using exchange::command_protocol::Writer;
namespace slot = exchange::command_slot;

constexpr int kWriters = 2;
constexpr uint32_t kMaxSlots = 4;
constexpr uint32_t kCapacity = 4;
constexpr uint32_t kRecordLength = 3;
constexpr std::size_t kRingBytes = exchange::SectionSize(kCapacity, kMaxSlots);

// Record `seq` of writer `w`: three bytes that tell whose and which it is, and whether it is whole.
struct Records {
  uint8_t bytes[kWriters][8][kRecordLength];
  Records() {
    for (int w = 0; w < kWriters; ++w)
      for (int s = 0; s < 8; ++s) {
        bytes[w][s][0] = static_cast<uint8_t>(w);
        bytes[w][s][1] = static_cast<uint8_t>(s);
        bytes[w][s][2] = static_cast<uint8_t>(0xA5 ^ (w * 16 + s));
      }
  }
};
const Records kRecords;

// Answers the machines' questions as the explorer chose; notes whether a step asked one.
struct ChosenWorld final : World {
  bool answer = false;
  int asked = 0;
  uint32_t ticket = 0;
  // A put that gives up at the start of a try leaves the ring as a writer never scheduled again does.
  bool OutOfTime() override { return false; }
  bool GivenUp(uint32_t) override { return Ask(); }
  // A writer that stops for good is still there; ticket 0 (a slot let go) is nobody's.
  bool ProcessAlive(uint32_t id) override { return id != 0; }
  bool RelayGone() override { return false; }
  uint32_t NewTicket() override { return ticket; }
  bool Ask() {
    ++asked;
    return answer;
  }
};

struct WriterState {
  Writer put{nullptr, 0};
  bool putting = false;
  uint8_t next = 0;         // the next record to put
  uint8_t claims = 0;       // tickets drawn (their count wraps, as a process's does)
  bool relay_seen = false;  // the put in progress saw the relay's mark after its claim
};

struct State {
  std::array<unsigned char, kRingBytes> ring{};
  WriterState writers[kWriters];
  Taker take;
  TakerState taken;
  bool forwarding = false;  // the relay has started: it takes and marks
  bool marking = false;     // it publishes its mark next
  Starter start;
  uint8_t stored = 0;  // bit w*4+s: put s of writer w said it was stored while the relay forwarded
  uint8_t sent = 0;    // bit w*4+s: sent to the robot
  int8_t last_sent[kWriters] = {-1, -1};
};

struct Explorer {
  int writers = kWriters;
  int puts_per_writer = 2;
  uint8_t ticket_counts = 1;  // how many claims of one writer are told apart by their tickets
  std::unordered_set<uint64_t> seen;
  // States still to expand, depth first (the frontier stays small), each with its node: the step
  // that led there and the node it came from.
  struct Node {
    uint32_t parent;
    char step;
  };
  std::vector<std::pair<State, uint32_t>> queue;
  std::vector<Node> nodes;
  uint32_t expanding = 0;  // the node of the state being expanded
  std::string failure;
  std::string failure_steps;  // the steps to the failure, from the start
  char stepping = '.';        // the step being made
  std::size_t states = 0;

  uint32_t slots = 4;
  uint32_t reserve = 2;  // one slot for each writer that may move the head once past its room
  Ring RingOf(State& s) const { return Ring{s.ring.data(), kCapacity, slots, reserve}; }

  // A 64-bit hash of everything that decides what can happen next (two states alike in it are one).
  // A 64-bit hash of everything that decides what can happen next: two states alike in it are one.
  // The relay's take counts only ever make new taken words, so states whose taken words differ only by
  // their counts, alike in which are equal to which, behave alike: the counts are hashed by their order
  // of first appearance. A slot's bytes count only while its word may still be read as a record.
  uint64_t Fingerprint(const State& s) const {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    auto add = [&h](uint64_t v) {
      h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
      h *= 0xFF51AFD7ED558CCDull;
    };
    uint32_t counts[24];
    std::size_t known = 0;
    auto word = [&](uint32_t w) -> uint64_t {
      if (!slot::IsTaken(w)) return w;
      std::size_t i = 0;
      while (i < known && counts[i] != (w & 0x1FFFFF80u)) ++i;
      if (i == known && known < std::size(counts)) counts[known++] = w & 0x1FFFFF80u;
      return 0x100000000ull | i << 7 | slot::MarkedLength(w);
    };
    const unsigned char* base = s.ring.data();
    uint32_t head = 0, mark = 0;
    std::memcpy(&head, base, 4);
    std::memcpy(&mark, base + 4, 4);
    add(static_cast<uint64_t>(head) << 32 | mark);
    for (uint32_t i = 0; i < slots; ++i) {
      uint32_t w = 0, data = 0;
      std::memcpy(&w, base + 8 + i * (kCapacity + 4), 4);
      std::memcpy(&data, base + 12 + i * (kCapacity + 4), 4);
      add(word(w));
      if (exchange::command_protocol::RecordLength(w, kCapacity) > 0 || slot::IsWriting(w)) add(data);
    }
    for (uint32_t i = 0; i < slots; ++i) add(word(s.taken.left[i]));
    for (const WriterState& w : s.writers) {
      add(static_cast<uint64_t>(w.put.pc) << 32 | w.put.head << 16 | w.put.index);
      add(static_cast<uint64_t>(w.put.mark) << 32 | w.put.ticket);
      add(word(w.put.word));
      add(static_cast<uint64_t>(w.putting) | w.relay_seen << 2 | w.next << 8 | w.claims << 16);
    }
    add(static_cast<uint64_t>(s.take.pc) << 32 | s.take.head);
    add(word(s.take.word) << 8 | s.take.length);
    if (s.take.pc == Taker::Pc::kMark) add(s.take.record[0] | s.take.record[1] << 8 | s.take.record[2] << 16);
    add(s.taken.read_index);
    add(static_cast<uint64_t>(s.forwarding) << 40 | static_cast<uint64_t>(s.marking) << 32 |
        static_cast<uint32_t>(s.start.pc));
    add(static_cast<uint64_t>(s.start.index) << 32);
    add(word(s.start.word));
    add(static_cast<uint64_t>(s.stored) | s.sent << 8 | static_cast<uint8_t>(s.last_sent[0]) << 16 |
        static_cast<uint8_t>(s.last_sent[1]) << 24);
    return h;
  }

  void Push(State&& s, char step) {
    if (!failure.empty()) return;
    if (!seen.insert(Fingerprint(s)).second) return;
    ++states;
    nodes.push_back(Node{expanding, step});
    queue.emplace_back(std::move(s), static_cast<uint32_t>(nodes.size() - 1));
  }

  // The steps from the start to node `n`, then `last`.
  std::string StepsTo(uint32_t n, char last) const {
    std::string steps(1, last);
    for (; n != 0; n = nodes[n].parent) steps.insert(steps.begin(), nodes[n].step);
    return steps;
  }

  void Fail(const std::string& why) {
    if (!failure.empty()) return;
    failure = why;
    failure_steps = StepsTo(expanding, stepping);
  }

  // One step of writer `w`, in place, with the world answering `answer`; whether the step asked.
  bool WriterStep(State& s, int w, bool answer) {
    WriterState& ws = s.writers[w];
    if (!ws.putting) {
      ws.put = Writer(kRecords.bytes[w][ws.next], kRecordLength);
      ws.putting = true;
      ws.relay_seen = false;
    }
    ChosenWorld world;
    world.answer = answer;
    world.ticket = slot::Ticket(static_cast<uint32_t>(w + 1), ws.claims);
    const Writer::Pc before = ws.put.pc;
    const Writer::Result result = ws.put.Step(RingOf(s), world);
    if (world.asked > 1) Fail("a step asked the world twice");
    if (before == Writer::Pc::kClaim) ws.claims = static_cast<uint8_t>((ws.claims + 1) % ticket_counts);
    // This relay's marks count no passes; a mark left by a relay that was killed does.
    if (before == Writer::Pc::kForm)
      ws.relay_seen = (ws.put.mark & exchange::kMarkForwarding) != 0 && (ws.put.mark & 0x3FFFFF00u) == 0 &&
                      (ws.put.mark & 0xFF) < slots;
    if (result == Writer::Result::kStored || result == Writer::Result::kFailed) {
      if (result == Writer::Result::kStored && ws.relay_seen)
        s.stored |= static_cast<uint8_t>(1u << (w * 4 + ws.next));
      ws.putting = false;
      ++ws.next;
    }
    return world.asked > 0;
  }

  bool StepWriter(const State& from, int w, bool answer) {
    State s = from;
    stepping = static_cast<char>((answer ? 'A' : 'a') + w);
    const bool asked = WriterStep(s, w, answer);
    Push(std::move(s), static_cast<char>((answer ? 'A' : 'a') + w));
    return asked;
  }

  // One step of the relay, in place, with the world answering `answer`; whether the step asked.
  bool RelayStep(State& s, bool answer) {
    ChosenWorld world;
    world.answer = answer;
    const Ring ring = RingOf(s);
    if (!s.forwarding) {
      s.forwarding = s.start.Step(ring, world, s.taken) == Starter::Result::kDone;
    } else if (s.marking) {
      exchange::ring_words::Reserved(s.ring.data())
          .store(exchange::command_protocol::MarkWord(0, true, s.taken.read_index));
      s.marking = false;
    } else {
      const Taker::Result result = s.take.Step(ring, world, s.taken);
      if (result != Taker::Result::kRunning) {
        if (result == Taker::Result::kRecord) Received(s);
        // Nothing left to take, with the head as it is now: everything stored must have been sent.
        const bool caught_up = exchange::ring_words::Head(s.ring.data()).load() == s.taken.read_index;
        if (result == Taker::Result::kNone && caught_up && (s.stored & ~s.sent) != 0)
          Fail("a stored put was never sent (stored " + std::to_string(s.stored) + ", sent " +
               std::to_string(s.sent) + ")");
        s.take = Taker{};
        s.marking = true;
      }
    }
    if (world.asked > 1) Fail("a step asked the world twice");
    return world.asked > 0;
  }

  bool StepRelay(const State& from, bool answer) {
    State s = from;
    stepping = answer ? 'R' : 'r';
    const bool asked = RelayStep(s, answer);
    Push(std::move(s), answer ? 'R' : 'r');
    return asked;
  }

  void Received(State& s) {
    const uint8_t* r = s.take.record;
    if (s.take.length != kRecordLength || r[0] >= kWriters || r[1] >= puts_per_writer ||
        r[2] != static_cast<uint8_t>(0xA5 ^ (r[0] * 16 + r[1]))) {
      Fail("a record was sent half written or mixed");
      return;
    }
    const uint8_t bit = static_cast<uint8_t>(1u << (r[0] * 4 + r[1]));
    if (s.sent & bit) Fail("record " + std::to_string(r[0]) + "/" + std::to_string(r[1]) + " was sent twice");
    if (static_cast<int>(r[1]) <= s.last_sent[r[0]]) Fail("a writer's records were sent out of order");
    s.sent |= bit;
    s.last_sent[r[0]] = static_cast<int8_t>(r[1]);
  }

  std::string Describe(const State& s) const {
    char line[160];
    const unsigned char* base = s.ring.data();
    uint32_t head = 0, mark = 0;
    std::memcpy(&head, base, 4);
    std::memcpy(&mark, base + 4, 4);
    std::string text;
    std::snprintf(line, sizeof line, "head %u mark %08x read %u |", head, mark, s.taken.read_index);
    text += line;
    for (uint32_t i = 0; i < slots; ++i) {
      uint32_t word = 0;
      std::memcpy(&word, base + 8 + i * (kCapacity + 4), 4);
      std::snprintf(line, sizeof line, " %08x", word);
      text += line;
    }
    for (const WriterState& w : s.writers) {
      std::snprintf(line, sizeof line, " | put %u pc %u head %u word %08x", w.next,
                    static_cast<unsigned>(w.put.pc), w.put.head, w.put.word);
      text += line;
    }
    // The relay: its start-up step until it forwards (9), then its take's step.
    std::snprintf(line, sizeof line, " | relay %u/%u sent %02x",
                  s.forwarding ? 9u : static_cast<unsigned>(s.start.pc), static_cast<unsigned>(s.take.pc),
                  s.sent);
    return text + line;
  }

  // The states along `steps` from `start`, one line each: what a failure shows.
  std::string Replay(const State& start, const std::string& steps) {
    std::string trace;
    State s = start;
    for (char c : steps) {
      if (c == 'r' || c == 'R')
        RelayStep(s, c == 'R');
      else if (c != '.')
        WriterStep(s, std::tolower(c) - 'a', std::isupper(c) != 0);
      if (c != '.') trace += std::string(1, c) + " " + Describe(s) + "\n";
    }
    // The last steps tell the story.
    std::size_t cut = trace.size();
    for (int lines = 0; lines < 40 && cut > 0 && cut != std::string::npos; ++lines)
      cut = trace.rfind('\n', cut - 1);
    return cut == std::string::npos || cut == 0 ? trace : trace.substr(cut + 1);
  }

  // Explores from `start`; the failure found, or empty.
  std::string Run(const State& start) {
    nodes.assign(1, Node{0, '.'});
    queue.emplace_back(start, 0);
    seen.insert(Fingerprint(start));
    while (!queue.empty() && failure.empty()) {
      const State s = std::move(queue.back().first);
      expanding = queue.back().second;
      queue.pop_back();
      for (int w = 0; w < writers; ++w) {
        const WriterState& ws = s.writers[w];
        if (!ws.putting && ws.next >= puts_per_writer) continue;
        if (StepWriter(s, w, false)) StepWriter(s, w, true);
      }
      if (StepRelay(s, false)) StepRelay(s, true);
    }
    if (!failure.empty()) {
      return failure + " after " + std::to_string(failure_steps.size()) + " steps; the last ones:\n" +
             Replay(start, failure_steps);
    }
    return failure;
  }
};

// A ring whose relay has started and forwards: every slot marked, the mark published.
State Forwarding(Explorer& explorer) {
  State s;
  while (!s.forwarding) explorer.RelayStep(s, false);
  return s;
}

// The size of a check: writers, puts each, slots, reserve. TREVASK_PROTOCOL_CHECK="2 3 4 2" runs a
// larger one by hand (a few minutes); sanitizer and emulated builds run smaller ones.
Explorer Sized(int writers, int puts, uint32_t slots, uint32_t reserve) {
  Explorer explorer;
  explorer.writers = writers;
  explorer.puts_per_writer = puts;
  explorer.slots = slots;
  explorer.reserve = reserve;
  if (const char* size = std::getenv("TREVASK_PROTOCOL_CHECK"))
    std::sscanf(size, "%d %d %u %u", &explorer.writers, &explorer.puts_per_writer, &explorer.slots,
                &explorer.reserve);
  return explorer;
}

#if defined(TREVASK_SMALL_PROTOCOL_CHECK)
constexpr bool kSmall = true;
#else
constexpr bool kSmall = false;
#endif

TEST(CommandProtocol, EveryInterleavingOfTwoWritersAndTheRelayKeepsEveryStoredPutOnceAndInOrder) {
  Explorer explorer = kSmall ? Sized(2, 1, 4, 2) : Sized(2, 2, 4, 2);
  EXPECT_EQ(explorer.Run(Forwarding(explorer)), "");
  std::printf("explored %zu states\n", explorer.states);
}

// The relay starts while clients write: puts that saw its mark after their claim are sent, and the
// start itself loses, repeats and mixes nothing.
TEST(CommandProtocol, ARelayStartingWhileClientsWriteSendsWhatWasPutForIt) {
  Explorer explorer = kSmall ? Sized(1, 3, 3, 1) : Sized(2, 1, 3, 1);
  EXPECT_EQ(explorer.Run(State{}), "");
  std::printf("explored %zu states\n", explorer.states);
}

}  // namespace
