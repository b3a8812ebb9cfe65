// The length word of a command slot, and who may touch the slot while it holds each value.
//
// Many clients write the command ring at once and one relay reads it. A writer may be stopped at any
// instruction (a debugger, Ctrl-Z, SIGSTOP) and resume minutes later; it must never move the head
// back, never replace a record the relay has not sent, and the relay must never send a record twice
// or send one that is half written. So each slot's length word tells who holds the slot:
//
//   0x00000000-0x7FFFFFFF  a record's length, as every writer of the plain layout stores it (and as
//                          clients store it while no relay forwards, for relays of the plain layout)
//   100 c:22 n:7           taken: the relay has sent this record (n bytes; c counts the relay's takes.
//                          The relay remembers the value it left in each slot: only that exact value is
//                          its own, whatever else a writer of the plain layout stores with these bits)
//   101 u:22 n:7           published: a record of n bytes the relay has not sent yet, stored by a client
//                          that saw a relay forwarding. u is never 0 and differs from the published word
//                          the slot held before, so the word never comes back to a value a late writer
//                          read: a claim that expects an old value can never land on a newer record
//   110 t:29               being written by the writer holding ticket t (its process, 22 bits, and
//                          a count of its puts, 7 bits)
//   111 t:29               abandoned: that writer stopped for too long and was passed over. Nobody
//                          reuses the slot while its process lives (it may still be copying into
//                          it); t = 0 when the writer has let it go again.
//
// Every marker has bit 31 set: any relay reads it as a length of 100 or more and skips the record,
// so a relay that knows nothing of the markers never sends a slot that is being written.
#pragma once

#include <cstdint>

namespace exchange::command_slot {

inline constexpr uint32_t kMarker = 0x80000000u;
inline constexpr uint32_t kKindMask = 0xE0000000u;
inline constexpr uint32_t kTakenKind = 0x80000000u;
inline constexpr uint32_t kPublishedKind = 0xA0000000u;
inline constexpr uint32_t kWriterHeld = 0xC0000000u;
inline constexpr uint32_t kAbandonedBit = 0x20000000u;
inline constexpr uint32_t kReleased = kWriterHeld | kAbandonedBit;
inline constexpr uint32_t kProcessMask = 0x3FFFFFu;
inline constexpr uint32_t kCountMask = 0x3FFFFFu;  // the 22 bits of c and u

constexpr bool IsPlain(uint32_t word) {
  return (word & kMarker) == 0;
}
constexpr bool IsTaken(uint32_t word) {
  return (word & kKindMask) == kTakenKind;
}
constexpr bool IsPublished(uint32_t word) {
  return (word & kKindMask) == kPublishedKind;
}
constexpr bool IsWriting(uint32_t word) {
  return (word & kKindMask) == kWriterHeld;
}
constexpr bool IsAbandoned(uint32_t word) {
  return (word & kKindMask) == kReleased;
}

// The length a taken or published word carries (7 bits).
constexpr uint32_t MarkedLength(uint32_t word) {
  return word & 0x7Fu;
}

constexpr uint32_t Taken(uint32_t take_count, uint32_t length) {
  return kTakenKind | ((take_count & kCountMask) << 7) | (length & 0x7Fu);
}

constexpr uint32_t PublishedId(uint32_t word) {
  return (word >> 7) & kCountMask;
}
// The published word for a record of `length` bytes by the writer holding `ticket`, in a slot whose
// word was `before` when the writer claimed it.
constexpr uint32_t Published(uint32_t ticket, uint32_t length, uint32_t before) {
  // Spread the ticket's bits so that neighbouring tickets give distant ids.
  uint32_t id = ((ticket & 0x1FFFFFFFu) * 0x9E3779B1u >> 7) & kCountMask;
  if (id == 0) id = 1;
  if (IsPublished(before) && PublishedId(before) == id) id = id % kCountMask + 1;
  return kPublishedKind | (id << 7) | (length & 0x7Fu);
}

constexpr uint32_t Ticket(uint32_t process, uint32_t count) {
  return kWriterHeld | ((process & kProcessMask) << 7) | (count & 0x7Fu);
}
constexpr uint32_t TicketProcess(uint32_t word) {
  return (word >> 7) & kProcessMask;
}
constexpr uint32_t Abandoned(uint32_t ticket) {
  return ticket | kAbandonedBit;
}

// Every command record is at most 80 bytes, so the seven bits of a taken or published word hold its
// length.
static_assert(80 <= 0x7F);
static_assert(Published(Ticket(1, 0), 5, 0) != Published(Ticket(1, 0), 5, Published(Ticket(1, 0), 5, 0)));

}  // namespace exchange::command_slot
