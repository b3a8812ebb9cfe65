// The command ring's put and take as step machines: each Step makes exactly one access to a word or
// the data of the ring (a load, a compare-and-swap, a store or a copy) and keeps everything else in
// the machine, so that every interleaving of writers and the relay is an interleaving of steps.
// CCommandWriter::Put and CCommandTaker::Take (command_ring.cpp) run them step after step on the
// mapped section; the protocol's check (tests/command_protocol_test.cpp) runs the same machines over
// every interleaving of two writers and a relay on a small ring, with the world's answers (the time,
// stopped writers) chosen both ways at every step that asks.
//
// The rules, and why the relay never loses or repeats a put that said it was stored:
// - A writer claims the slot at the head by compare-and-swap from the word it read there, and only
//   after reading the head again: a slot whose word was read while the head stood on it held no
//   record the relay has still to send (the relay reads behind the head, and writers never lap it).
// - A record stored while a relay forwards is published with a word that never comes back (see
//   command_slots.h), so a late claim, which expects an older word, can never replace it.
// - A writer that finds the head moved after its claim gives the slot back as it found it; one that
//   was passed over (stopped too long) finds its claim abandoned and stores nothing.
// - The relay copies a record, then swaps its word for its own taken marker; when the word changed
//   meanwhile it reads the slot again rather than skip it.
// - The relay recognises its own taken markers by their exact value (it remembers the one it left in
//   each slot), so nothing a writer of the plain layout stores reads as one.
#pragma once

#include <cstdint>

#include "exchange/command_slots.h"

namespace exchange::command_protocol {

// The most slots a command ring has (the relay remembers a word per slot), and its largest record.
inline constexpr uint32_t kMaxSlots = 32;
inline constexpr uint32_t kMaxRecord = 80;

// The mapped ring: head at 0, the relay's mark at 4, then the slots. Writers leave `reserve` slots
// free ahead of the relay. A writer stopped between reading the head and moving it may move it once
// more when the head has come round to the same slot (the head word holds only a slot index), past
// what the room it saw allowed; the reserve absorbs one such move for each of that many writers
// stopped at that point at once, so the head never catches up with the relay from behind.
struct Ring {
  unsigned char* base = nullptr;
  uint32_t capacity = 0;
  uint32_t slots = 0;
  uint32_t reserve = 0;
};

// What the machines ask of the world beyond the ring. The writer's put and the taker's take answer
// from the clock and the process table; the protocol's check answers each question both ways.
class World {
 public:
  // The put has waited as long as it may (kPutWaitMs).
  virtual bool OutOfTime() = 0;
  // The writer holding `claim` has gone, or has held it unchanged for kWriterStallMs.
  virtual bool GivenUp(uint32_t claim) = 0;
  // The process `id` still runs (a writer that was passed over may still copy into its slot).
  virtual bool ProcessAlive(uint32_t id) = 0;
  // The relay whose mark is on the ring holds the ring's claim no longer (it was killed).
  virtual bool RelayGone() = 0;
  // A ticket for a new claim, distinct from this process's claims that can still be in the ring.
  virtual uint32_t NewTicket() = 0;

 protected:
  ~World() = default;
};

// The relay's forwarding mark (the command ring's reserved word): bit 31 while it forwards, bit 30
// while its robot answers, bits 8-29 a pass count, bits 0-7 the slot it reads next.
inline constexpr uint32_t kMarkForwarding = 0x80000000u;
inline constexpr uint32_t kMarkLinkUp = 0x40000000u;
constexpr uint32_t MarkWord(uint32_t pass, bool link_up, uint32_t read_index) {
  return kMarkForwarding | (link_up ? kMarkLinkUp : 0) | ((pass & 0x3FFFFF) << 8) | (read_index & 0xFF);
}

// One put of one record. Step until it says kStored or kFailed; kRetry asks the caller to pause a
// little before the next step (the ring is full, or another writer holds the slot at the head). Its
// members are plain values so that the protocol's check can copy and compare machines.
struct Writer {
  enum class Result { kRunning, kRetry, kStored, kFailed };
  enum class Pc : uint32_t {
    kTry,
    kMark,
    kClearMark,
    kWord,
    kAbandon,
    kPass,
    kFresh,
    kNoRelay,
    kClaim,
    kVerify,
    kUnclaim,
    kRelease,
    kForm,
    kStill,
    kCopy,
    kAdvance,
    kPublish
  };

  Writer(const uint8_t* record, uint32_t record_length) : bytes(record), length(record_length) {}
  Result Step(const Ring& ring, World& world);
  bool operator==(const Writer&) const = default;

  const uint8_t* bytes;
  uint32_t length;
  Pc pc = Pc::kTry;
  uint32_t head = 0;   // the head as read at the start of this try
  uint32_t index = 0;  // the slot it names
  uint32_t mark = 0;   // the relay's mark as read in this try
  uint32_t word = 0;   // the slot's word as read in this try
  uint32_t ticket = 0;

 private:
  Result Retry();
};

// What the relay keeps between takes: where it reads, how many records it took, and the marker it
// left in each slot.
struct TakerState {
  bool operator==(const TakerState&) const = default;
  uint32_t read_index = 0;
  uint32_t take_count = 0;
  uint32_t left[kMaxSlots] = {};  // 0 (no marker) until the relay marks the slot
  uint32_t went_back = 0;         // records found taken again ahead of it (the head went back)
};

// One take of the relay: the next record copied out of the ring and marked taken. Step until it
// says something other than kRunning; on kRecord the record is in `record`, `length` bytes long.
struct Taker {
  enum class Result { kRunning, kNone, kRecord, kWait };
  enum class Pc : uint32_t { kHead, kLook, kAbandon, kCopy, kMark };

  Result Step(const Ring& ring, World& world, TakerState& state);
  bool operator==(const Taker&) const = default;

  Pc pc = Pc::kHead;
  uint32_t head = 0;
  uint32_t word = 0;
  uint32_t length = 0;
  uint8_t record[kMaxRecord] = {};
};

// The mark of a relay that is starting: writers wait until it says where it reads.
inline constexpr uint32_t kMarkStarting = kMarkForwarding | 0xFF;

// What a relay starting up does before it forwards: clears a mark a killed relay left, waits for
// writers in the middle of a put and marks every slot taken (a writer that stopped keeps its slot),
// so that records put before it forwards are never sent and a head moved back later lands on words
// it knows; then marks the ring as starting, so that writers wait, reads the head, which is where
// it starts reading, and publishes its mark. Every record a writer publishes for it lies at or after
// that head, and the head cannot have gone round the ring meanwhile. Step until kDone; kWait asks
// the caller to pause a little before the next step.
struct Starter {
  enum class Result { kRunning, kWait, kDone };
  enum class Pc : uint32_t { kClear, kLook, kAbandon, kRetire, kStarting, kHead, kMark, kDone };

  Result Step(const Ring& ring, World& world, TakerState& state);
  bool operator==(const Starter&) const = default;

  Pc pc = Pc::kClear;
  uint32_t index = 0;
  uint32_t word = 0;
  uint32_t pass = 0;     // the pass count of the mark published at the end
  bool link_up = false;  // and its link state
};

// The length of the record a word announces (a plain length or a published one), or 0 when it
// announces none the relay sends: a claim, a taken record, a length beyond the slot, or nothing at all
// (a published word of length 0 is a client's empty record all the same).
uint32_t RecordLength(uint32_t word, uint32_t capacity);

}  // namespace exchange::command_protocol
