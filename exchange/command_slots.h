// The length word of a command slot, and who may touch the slot while it holds each value.
//
// Many clients write the command ring at once and one relay reads it. A writer may be stopped at any
// instruction (a debugger, Ctrl-Z, SIGSTOP) and resume minutes later; it must never move the head
// back, and the relay must never send a record twice or send one that is half written. So each
// slot's length word tells who holds the slot:
//
//   0x00000000-0x7FFFFFFF  a record's length, as every writer of the plain layout stores it
//   10 c:23 n:7            taken: the relay has sent this record (n bytes; c counts the relay's takes,
//                          so a value seen twice in a row means the slot was not touched in between)
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
inline constexpr uint32_t kWriterHeld = 0xC0000000u;
inline constexpr uint32_t kAbandonedBit = 0x20000000u;
inline constexpr uint32_t kReleased = kWriterHeld | kAbandonedBit;
inline constexpr uint32_t kProcessMask = 0x3FFFFFu;

constexpr bool IsTaken(uint32_t word) {
  return (word & kWriterHeld) == kMarker;
}
constexpr bool IsWriting(uint32_t word) {
  return (word & (kWriterHeld | kAbandonedBit)) == kWriterHeld;
}
constexpr bool IsAbandoned(uint32_t word) {
  return (word & (kWriterHeld | kAbandonedBit)) == (kWriterHeld | kAbandonedBit);
}

constexpr uint32_t Taken(uint32_t take_count, uint32_t length) {
  return kMarker | ((take_count & 0x7FFFFFu) << 7) | (length & 0x7Fu);
}
constexpr uint32_t TakenLength(uint32_t word) {
  return word & 0x7Fu;
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

// Every command record is at most 80 bytes, so the seven bits of a taken word hold its length.
static_assert(80 <= 0x7F);

}  // namespace exchange::command_slot
