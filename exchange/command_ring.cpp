// The command ring's writers and its one forwarding reader. Clients write it without any lock among
// them: each put claims the slot at the head through the slot's length word, copies its record in,
// moves the head past the slot and then stores the length (command_slots.h). A writer that stops
// anywhere in between (a debugger, Ctrl-Z) holds up the others for kWriterStallMs at most: they
// mark its slot abandoned and pass over it, the relay skips it, and the stopped writer, whenever it
// goes on, finds its claim gone and fails its put instead of publishing anything. The head never
// moves back: it only ever advances by compare-and-swap from the value a writer read.
#include <atomic>
#include <cstring>

#include "exchange/command_slots.h"
#include "exchange/ring_words.h"
#include "exchange/sections.h"
#include "platform/clock.h"
#include "platform/doorbell.h"
#include "platform/process.h"

namespace exchange {
namespace {

using ring_words::Head;
using ring_words::Length;
static_assert((kCommandRecordMax + 4) % 4 == 0, "command slots keep their length words aligned");
using ring_words::Reserved;
using ring_words::Slot;

// A ticket for each claim, distinct among the claims of this process that can be in the ring at
// once. Relaxed: the value only has to differ from the last few, it orders nothing.
uint32_t NextTicket() {
  static std::atomic<uint32_t> count{0};
  return command_slot::Ticket(platform::ProcessId(), count.fetch_add(1, std::memory_order_relaxed));
}

// Waits a little between tries: a yield while another writer is likely to finish within
// microseconds, then a millisecond at a time.
void Pause(int tries) {
  platform::Sleep(tries < 50 ? 0 : 1);
}

// Tells a writer that is merely slow from one that has stopped: the same claim seen for
// kWriterStallMs.
struct StallWatch {
  uint32_t word = 0;
  uint32_t since = 0;
  bool Expired(uint32_t seen, uint32_t now) {
    if (seen != word) {
      word = seen;
      since = now;
      return false;
    }
    return platform::TickElapsed(now, since) >= kWriterStallMs;
  }
};

}  // namespace

int CRingProducer::PutPaced(const uint8_t* bytes, uint32_t len) {
  return ring_words::Repaired(view_, [&]() -> int {
    if (!view_.valid() || len > capacity_) return 0;
    unsigned char* base = view_.data();
    const uint32_t start = platform::TickCount();
    StallWatch stall;
    for (int tries = 0;; ++tries) {
      if (tries > 0) Pause(tries);
      const uint32_t now = platform::TickCount();
      if (platform::TickElapsed(now, start) >= kPutWaitMs) return 0;
      uint32_t head = Head(base).load(std::memory_order_acquire);
      const uint32_t index = head % slots_;  // a foreign value is brought back into range, not trusted
      const uint32_t next = (index + 1) % slots_;

      // Room: while a relay forwards, the slot it reads next is never reached.
      uint32_t mark = Reserved(base).load(std::memory_order_acquire);
      if ((mark & kMarkForwarding) != 0 && (mark & 0xFF) < slots_ && next == (mark & 0xFF)) {
        // The relay ended without withdrawing its mark (it was killed): nobody reads this ring now.
        if (!platform::IsClaimed(view_))
          Reserved(base).compare_exchange_strong(mark, 0, std::memory_order_acq_rel);
        continue;
      }

      auto word = Length(Slot(base, capacity_, index));
      uint32_t state = word.load(std::memory_order_acquire);
      if (command_slot::IsWriting(state)) {
        // Another writer is storing this slot, which takes it microseconds; one that has gone, or has
        // not moved for kWriterStallMs, loses the slot.
        if (!platform::ProcessAlive(command_slot::TicketProcess(state)) || stall.Expired(state, now))
          word.compare_exchange_strong(state, command_slot::Abandoned(state), std::memory_order_acq_rel);
        continue;
      }
      if (command_slot::IsAbandoned(state) && platform::ProcessAlive(command_slot::TicketProcess(state))) {
        // Its stopped writer may still copy into it when it goes on: pass over the slot (the relay
        // skips it).
        Head(base).compare_exchange_strong(head, next, std::memory_order_acq_rel);
        continue;
      }

      // Free: a record the relay has taken (or one of a ring nobody forwards), or a slot given back.
      const uint32_t ticket = NextTicket();
      uint32_t expected = state;
      // Acquire: the relay's reading of the record that was here happens before our copy over it.
      if (!word.compare_exchange_strong(expected, ticket, std::memory_order_acquire)) continue;
      if (Head(base).load(std::memory_order_acquire) != head) {
        // The head moved while we claimed: this slot is no longer the one written next.
        uint32_t mine = ticket;
        if (!word.compare_exchange_strong(mine, state, std::memory_order_acq_rel))
          word.compare_exchange_strong(mine, command_slot::kReleased, std::memory_order_acq_rel);
        continue;
      }
      if (len > 0) std::memcpy(Slot(base, capacity_, index) + 4, bytes, len);
      // The head passes the slot before its length is stored, so no other writer can take the slot
      // between the two; the relay waits for the length. The exchange fails only when we were passed
      // over (stopped right here), and then the next one fails too.
      Head(base).compare_exchange_strong(head, next, std::memory_order_acq_rel);
      uint32_t mine = ticket;
      // Release: the record's bytes are in place before the relay can see its length.
      if (word.compare_exchange_strong(mine, len, std::memory_order_release)) {
        platform::RingDoorbell(ring_words::DoorbellWord(base, false));
        return 1;
      }
      // Passed over while stopped: the slot was skipped and none of it is ever sent. Let it be used
      // again, and try once more if there is still time.
      mine = command_slot::Abandoned(ticket);
      word.compare_exchange_strong(mine, command_slot::kReleased, std::memory_order_acq_rel);
    }
  });
}

CRingConsumer::CommandTake CRingConsumer::TakeCommand(uint8_t* out, uint32_t& length) {
  return ring_words::Repaired(view_, [&]() -> CommandTake {
    length = 0;
    if (!view_.valid()) return CommandTake::kNone;
    unsigned char* base = view_.data();
    const uint32_t head = Head(base).load(std::memory_order_acquire);
    if (head >= slots_) return CommandTake::kNone;
    while (read_index_ != head) {
      unsigned char* slot = Slot(base, capacity_, read_index_);
      auto word = Length(slot);
      uint32_t state = word.load(std::memory_order_acquire);
      if (command_slot::IsWriting(state)) {
        // Its writer has moved the head and is about to store the length. Records stay in order, so
        // the ones behind it wait; a writer that has gone or stopped loses the slot.
        const uint32_t now = platform::TickCount();
        const bool stopped =
            !platform::ProcessAlive(command_slot::TicketProcess(state)) ||
            (state == stalled_word_ && platform::TickElapsed(now, stalled_since_) >= kWriterStallMs);
        if (state != stalled_word_) {
          stalled_word_ = state;
          stalled_since_ = now;
        }
        if (!stopped) return CommandTake::kWait;
        if (!word.compare_exchange_strong(state, command_slot::Abandoned(state), std::memory_order_acq_rel))
          continue;  // it finished after all: read it again
      } else if (command_slot::IsTaken(state)) {
        // Sent already: the head went back over records this relay has taken. Whatever lies between
        // here and the head came from a writer that stored a stale head, so none of it is trusted.
        read_index_ = head;
        return CommandTake::kHeadWentBack;
      } else if ((state & command_slot::kMarker) == 0 && state <= capacity_) {
        std::memcpy(out, slot + 4, state);
        // The slot must still hold the same record after the copy (a writer that ignores the mark may
        // reuse it): a record read while it was overwritten is not sent.
        const bool intact = word.compare_exchange_strong(state, command_slot::Taken(++take_count_, state),
                                                         std::memory_order_acq_rel);
        read_index_ = (read_index_ + 1) % slots_;
        if (!intact) continue;
        length = state;
        return CommandTake::kRecord;
      }
      // Abandoned by its writer, or a length no writer stores (100 or more, or beyond the slot):
      // skipped, and it stays consumed.
      read_index_ = (read_index_ + 1) % slots_;
    }
    return CommandTake::kNone;
  });
}

void CRingConsumer::RetireOldCommands() {
  ring_words::Repaired(view_, [&]() {
    if (!view_.valid()) return;
    unsigned char* base = view_.data();
    for (uint32_t i = 0; i < slots_; ++i) {
      auto word = Length(Slot(base, capacity_, i));
      uint32_t state = word.load(std::memory_order_acquire);
      // A writer's claim is left alone; a plain record becomes a taken one.
      if ((state & command_slot::kMarker) == 0)
        word.compare_exchange_strong(state, command_slot::Taken(++take_count_, state),
                                     std::memory_order_acq_rel);
    }
    // Reading starts after whatever was put while the slots were marked: those records came before
    // this consumer read the ring, as records put before it opened do.
    Resync();
  });
}

}  // namespace exchange
