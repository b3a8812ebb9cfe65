#include "exchange/command_protocol.h"

#include <atomic>
#include <cstring>

#include "exchange/ring_words.h"

namespace exchange::command_protocol {
namespace {

std::atomic_ref<uint32_t> HeadWord(const Ring& ring) {
  return ring_words::Head(ring.base);
}
std::atomic_ref<uint32_t> MarkOf(const Ring& ring) {
  return ring_words::Reserved(ring.base);
}
unsigned char* SlotOf(const Ring& ring, uint32_t index) {
  return ring_words::Slot(ring.base, ring.capacity, index);
}
std::atomic_ref<uint32_t> LengthOf(const Ring& ring, uint32_t index) {
  return ring_words::Length(SlotOf(ring, index));
}

// Swaps `from` for `to`; the orders are those every swap of a length word needs: acquire, so that
// what the word's last owner wrote is seen before the slot is touched, and release, so that what
// this side wrote before is seen by whoever reads the new value.
bool Swap(std::atomic_ref<uint32_t> word, uint32_t from, uint32_t to) {
  return word.compare_exchange_strong(from, to, std::memory_order_acq_rel, std::memory_order_acquire);
}

}  // namespace

uint32_t RecordLength(uint32_t word, uint32_t capacity) {
  uint32_t length = 0;
  if (command_slot::IsPlain(word))
    length = word;
  else if (command_slot::IsPublished(word) && command_slot::PublishedId(word) != 0)  // writers never use 0
    length = command_slot::MarkedLength(word);
  // Nothing at all (a zeroed slot, as a section given its size back holds) is no request either.
  return length <= capacity ? length : 0;
}

Writer::Result Writer::Retry() {
  // Nothing read in this try counts in the next.
  pc = Pc::kTry;
  head = index = mark = word = ticket = 0;
  return Result::kRetry;
}

Writer::Result Writer::Step(const Ring& ring, World& world) {
  using namespace command_slot;
  switch (pc) {
    case Pc::kTry: {
      if (world.OutOfTime()) return Result::kFailed;
      head = HeadWord(ring).load(std::memory_order_acquire);
      index = head % ring.slots;  // a foreign value is brought back into range, not trusted
      pc = Pc::kMark;
      return Result::kRunning;
    }
    case Pc::kMark: {
      mark = MarkOf(ring).load(std::memory_order_acquire);
      if (mark == kMarkStarting) {
        // A relay is starting: it is about to say where it reads. One killed meanwhile is not waited for.
        if (world.RelayGone()) {
          pc = Pc::kClearMark;
          return Result::kRunning;
        }
        return Retry();
      }
      // Room: while a relay forwards, the slot it reads next is never reached, so the head never
      // laps it.
      const uint32_t unread = (index + ring.slots - (mark & 0xFF)) % ring.slots;
      if ((mark & kMarkForwarding) != 0 && (mark & 0xFF) < ring.slots &&
          unread + 1 + ring.reserve >= ring.slots) {
        // A relay that was killed left its mark: nobody reads this ring now.
        if (world.RelayGone()) {
          pc = Pc::kClearMark;
          return Result::kRunning;
        }
        return Retry();
      }
      pc = Pc::kWord;
      return Result::kRunning;
    }
    case Pc::kClearMark:
      Swap(MarkOf(ring), mark, 0);
      return Retry();
    case Pc::kWord: {
      word = LengthOf(ring, index).load(std::memory_order_acquire);
      if (IsWriting(word)) {
        // Another writer is storing this slot, which takes it microseconds; one that has gone, or has
        // not moved for kWriterStallMs, loses the slot.
        if (world.GivenUp(word)) {
          pc = Pc::kAbandon;
          return Result::kRunning;
        }
        return Retry();
      }
      if (IsAbandoned(word) && world.ProcessAlive(TicketProcess(word))) {
        // Its stopped writer may still copy into it when it goes on: pass over the slot (the relay
        // skips it).
        pc = Pc::kPass;
        return Result::kRunning;
      }
      if (IsPublished(word) && (mark & kMarkForwarding) != 0) {
        // A record the relay has not taken yet, which a head moved round the ring by a late writer
        // can bring back under the head: it waits for the relay. One whose relay was killed is not
        // waited for.
        if (world.RelayGone()) {
          pc = Pc::kClearMark;
          return Result::kRunning;
        }
        return Retry();
      }
      pc = Pc::kFresh;
      return Result::kRunning;
    }
    case Pc::kAbandon:
      Swap(LengthOf(ring, index), word, Abandoned(word));
      return Retry();
    case Pc::kPass:
      Swap(HeadWord(ring), head, (index + 1) % ring.slots);
      return Retry();
    case Pc::kFresh:
      // The word was read while the head still stood on its slot, so it is no record the relay has
      // still to send: whatever it is, it may be replaced.
      if (HeadWord(ring).load(std::memory_order_acquire) != head) return Retry();
      pc = IsPublished(word) ? Pc::kNoRelay : Pc::kClaim;
      return Result::kRunning;
    case Pc::kNoRelay:
      // A published record is replaced only when no relay forwards: read after the record was, a mark
      // still clear means it was published for a relay that has gone, which a relay starting now marks
      // taken before it publishes its mark.
      if ((MarkOf(ring).load(std::memory_order_acquire) & kMarkForwarding) != 0) return Retry();
      pc = Pc::kClaim;
      return Result::kRunning;
    case Pc::kClaim:
      ticket = world.NewTicket();
      if (!Swap(LengthOf(ring, index), word, ticket)) return Retry();
      pc = Pc::kVerify;
      return Result::kRunning;
    case Pc::kVerify:
      // The head moved between the look and the claim: the slot is no longer the one written next.
      pc = HeadWord(ring).load(std::memory_order_acquire) != head ? Pc::kUnclaim : Pc::kForm;
      return Result::kRunning;
    case Pc::kUnclaim:
      // Give it back as it was: nothing of it was touched. A claim abandoned meanwhile is let go.
      if (Swap(LengthOf(ring, index), ticket, word)) return Retry();
      pc = Pc::kRelease;
      return Result::kRunning;
    case Pc::kRelease:
      Swap(LengthOf(ring, index), Abandoned(ticket), kReleased);
      return Retry();
    case Pc::kForm:
      // Read after the claim: a relay whose mark is seen now reads this record behind the head, so
      // it is published with a word no late claim expects.
      mark = MarkOf(ring).load(std::memory_order_acquire);
      pc = Pc::kStill;
      return Result::kRunning;
    case Pc::kStill:
      // The head still stands on the slot after the mark was read: the relay behind that mark started
      // reading at or before it. A writer that saw the slot abandoned earlier may have passed the head
      // over it meanwhile; then the slot goes back as it was, and the put tries again.
      pc = HeadWord(ring).load(std::memory_order_acquire) != head ? Pc::kUnclaim : Pc::kCopy;
      return Result::kRunning;
    case Pc::kCopy:
      if (length > 0) std::memcpy(SlotOf(ring, index) + 4, bytes, length);
      pc = Pc::kAdvance;
      return Result::kRunning;
    case Pc::kAdvance:
      // The head passes the slot before its length is stored, so no other writer can take the slot
      // between the two; the relay waits for the length. The exchange fails only when we were passed
      // over (stopped right here), and then the publication fails too.
      Swap(HeadWord(ring), head, (index + 1) % ring.slots);
      pc = Pc::kPublish;
      return Result::kRunning;
    case Pc::kPublish: {
      // A relay's mark that says where it reads: this record lies where that relay will read it.
      const bool for_relay = (mark & kMarkForwarding) != 0 && (mark & 0xFF) < ring.slots;
      const uint32_t published = for_relay ? Published(ticket, length, word) : length;
      // Release: the record's bytes are in place before the relay can see its length.
      if (Swap(LengthOf(ring, index), ticket, published)) return Result::kStored;
      // Passed over while stopped: the slot was skipped and none of it is ever sent. Let it be used
      // again, and try once more if there is still time.
      pc = Pc::kRelease;
      return Result::kRunning;
    }
  }
  return Result::kFailed;
}

Taker::Result Taker::Step(const Ring& ring, World& world, TakerState& state) {
  using namespace command_slot;
  switch (pc) {
    case Pc::kHead:
      head = HeadWord(ring).load(std::memory_order_acquire);
      if (head >= ring.slots) return Result::kNone;  // a foreign head: nothing until it is mended
      pc = Pc::kLook;
      return Result::kRunning;
    case Pc::kLook: {
      const uint32_t index = state.read_index;
      word = LengthOf(ring, index).load(std::memory_order_acquire);
      // Where the head stands the ring is read only when a record for this relay waits there: one a
      // late writer's head moved round the ring left under the head (writers wait for it).
      if (index == head && !IsPublished(word)) return Result::kNone;
      if (IsWriting(word)) {
        // Its writer has moved the head and is about to store the length. Records stay in order, so
        // the ones behind it wait; a writer that has gone or stopped loses the slot.
        if (!world.GivenUp(word)) return Result::kWait;
        pc = Pc::kAbandon;
        return Result::kRunning;
      }
      if (IsTaken(word) && word == state.left[index]) {
        // Sent already: the head went back over records this relay has taken (a writer of the plain
        // layout stored a stale head), or a stopped writer moved it round past this slot. Nothing of
        // it is sent again; the slots after it are read as ever.
        ++state.went_back;
        state.read_index = (index + 1) % ring.slots;
        return Result::kRunning;
      }
      length = RecordLength(word, ring.capacity);
      // A client's empty record (a sound request without a name, which ends the sound that plays) is
      // published like any other; a zero that is no publication is nothing at all.
      if (length > 0 || (IsPublished(word) && PublishedId(word) != 0)) {
        pc = Pc::kCopy;
        return Result::kRunning;
      }
      // Abandoned by its writer, or no record (a length no writer stores, nothing, another's marker):
      // skipped, and it stays consumed.
      state.read_index = (index + 1) % ring.slots;
      return Result::kRunning;
    }
    case Pc::kAbandon:
      // Failing, the writer finished after all: read the slot again.
      if (Swap(LengthOf(ring, state.read_index), word, Abandoned(word)))
        state.read_index = (state.read_index + 1) % ring.slots;
      pc = Pc::kLook;
      return Result::kRunning;
    case Pc::kCopy:
      std::memcpy(record, SlotOf(ring, state.read_index) + 4, length <= kMaxRecord ? length : kMaxRecord);
      pc = Pc::kMark;
      return Result::kRunning;
    case Pc::kMark: {
      // The slot must still hold the same record after the copy: a record read while it changed is
      // read again, never skipped.
      const uint32_t taken = Taken(state.take_count + 1, length);
      if (!Swap(LengthOf(ring, state.read_index), word, taken)) {
        pc = Pc::kLook;
        return Result::kRunning;
      }
      ++state.take_count;
      state.left[state.read_index] = taken;
      state.read_index = (state.read_index + 1) % ring.slots;
      return Result::kRecord;
    }
  }
  return Result::kNone;
}

Starter::Result Starter::Step(const Ring& ring, World& world, TakerState& state) {
  using namespace command_slot;
  switch (pc) {
    case Pc::kClear:
      // A mark left by a relay that was killed comes off first: a writer that claims a slot from now
      // on publishes plainly until this relay's own mark is out.
      MarkOf(ring).store(0, std::memory_order_release);
      pc = Pc::kLook;
      return Result::kRunning;
    case Pc::kLook:
      if (index >= ring.slots) {
        pc = Pc::kStarting;
        return Result::kRunning;
      }
      word = LengthOf(ring, index).load(std::memory_order_acquire);
      if (IsWriting(word)) {
        // A writer is storing this slot, and may publish it for the relay that was before: wait for
        // it (it takes microseconds), or pass it over when it has stopped.
        if (!world.GivenUp(word)) return Result::kWait;
        pc = Pc::kAbandon;
        return Result::kRunning;
      }
      // The slot of a passed-over writer that still runs is left alone (it may still copy into it).
      if (IsAbandoned(word) && world.ProcessAlive(TicketProcess(word))) {
        ++index;
        return Result::kRunning;
      }
      pc = Pc::kRetire;
      return Result::kRunning;
    case Pc::kAbandon:
      Swap(LengthOf(ring, index), word, Abandoned(word));
      pc = Pc::kLook;
      return Result::kRunning;
    case Pc::kRetire: {
      const uint32_t taken = Taken(state.take_count + 1, RecordLength(word, ring.capacity));
      if (Swap(LengthOf(ring, index), word, taken)) {
        ++state.take_count;
        state.left[index] = taken;
        ++index;
      }
      pc = Pc::kLook;  // changed meanwhile: looked at again
      return Result::kRunning;
    }
    case Pc::kStarting:
      // From here writers wait; those already past their look at the mark move the head once more
      // at most each, far less than the ring.
      MarkOf(ring).store(kMarkStarting, std::memory_order_seq_cst);
      pc = Pc::kHead;
      return Result::kRunning;
    case Pc::kHead: {
      // A writer that publishes for this relay read its mark after its claim, and held that claim
      // at the head: the head read now is not past its slot.
      const uint32_t head = HeadWord(ring).load(std::memory_order_seq_cst);
      state.read_index = head < ring.slots ? head : 0;
      pc = Pc::kMark;
      return Result::kRunning;
    }
    case Pc::kMark:
      MarkOf(ring).store(MarkWord(pass, link_up, state.read_index), std::memory_order_release);
      pc = Pc::kDone;
      return Result::kDone;
    case Pc::kDone:
      break;
  }
  return Result::kDone;
}

}  // namespace exchange::command_protocol
