// The command ring's writers and its one forwarding reader on a mapped section: the step machines of
// command_protocol.h run to their end, with the world's answers taken from the clock and the process
// table. A writer that stops anywhere in a put (a debugger, Ctrl-Z) holds up the others for
// kWriterStallMs at most: they mark its slot abandoned and pass over it, the relay skips it, and the
// stopped writer, whenever it goes on, finds its claim gone and fails its put instead of publishing
// anything. The head never moves back: it only ever advances by compare-and-swap from the value a
// writer read.
#include <atomic>
#include <cstring>

#include "exchange/command_protocol.h"
#include "exchange/ring_words.h"
#include "exchange/sections.h"
#include "platform/clock.h"
#include "platform/doorbell.h"
#include "platform/process.h"

namespace exchange {
namespace {

namespace protocol = command_protocol;
static_assert((kCommandRecordMax + 4) % 4 == 0, "command slots keep their length words aligned");
static_assert(kCommandRecordMax <= protocol::kMaxRecord);

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
// kWriterStallMs, or one whose process has gone.
bool GivenUp(uint32_t claim, uint32_t& watched, uint32_t& since) {
  if (!platform::ProcessAlive(command_slot::TicketProcess(claim))) return true;
  const uint32_t now = platform::TickCount();
  if (claim != watched) {
    watched = claim;
    since = now;
    return false;
  }
  return platform::TickElapsed(now, since) >= kWriterStallMs;
}

// The world as a client's put sees it.
class PutWorld final : public protocol::World {
 public:
  explicit PutWorld(const platform::SharedView& view) : view_(view), start_(platform::TickCount()) {}
  bool OutOfTime() override { return platform::TickElapsed(platform::TickCount(), start_) >= kPutWaitMs; }
  bool GivenUp(uint32_t claim) override { return exchange::GivenUp(claim, watched_, since_); }
  bool ProcessAlive(uint32_t id) override { return platform::ProcessAlive(id); }
  bool RelayGone() override { return !platform::IsClaimed(view_); }
  uint32_t NewTicket() override { return NextTicket(); }

 private:
  const platform::SharedView& view_;
  uint32_t start_;
  uint32_t watched_ = 0;
  uint32_t since_ = 0;
};

// The world as the relay sees it: it only ever asks whether a writer has stopped.
class TakeWorld final : public protocol::World {
 public:
  TakeWorld(uint32_t& watched, uint32_t& since) : watched_(watched), since_(since) {}
  bool OutOfTime() override { return false; }
  bool GivenUp(uint32_t claim) override { return exchange::GivenUp(claim, watched_, since_); }
  bool ProcessAlive(uint32_t id) override { return platform::ProcessAlive(id); }
  bool RelayGone() override { return false; }
  uint32_t NewTicket() override { return 0; }

 private:
  uint32_t& watched_;
  uint32_t& since_;
};

}  // namespace

int CRingProducer::PutPaced(const uint8_t* bytes, uint32_t len) {
  return ring_words::Repaired(view_, [&]() -> int {
    // An empty record is stored like any other (a client may put one); the relay sends nothing for it.
    if (!view_.valid() || len > capacity_ || (len > 0 && bytes == nullptr)) return 0;
    const protocol::Ring ring{view_.data(), capacity_, slots_, kCommandReserve};
    PutWorld world(view_);
    protocol::Writer writer(bytes, len);
    for (int tries = 0;;) {
      switch (writer.Step(ring, world)) {
        case protocol::Writer::Result::kRunning:
          break;
        case protocol::Writer::Result::kRetry:
          Pause(++tries);
          break;
        case protocol::Writer::Result::kStored:
          platform::RingDoorbell(ring_words::DoorbellWord(ring.base, false));
          return 1;
        case protocol::Writer::Result::kFailed:
          return 0;
      }
    }
  });
}

CRingConsumer::CommandTake CRingConsumer::TakeCommand(uint8_t* out, uint32_t& length) {
  return ring_words::Repaired(view_, [&]() -> CommandTake {
    length = 0;
    if (!view_.valid() || capacity_ > protocol::kMaxRecord || slots_ > protocol::kMaxSlots)
      return CommandTake::kNone;
    const protocol::Ring ring{view_.data(), capacity_, slots_, kCommandReserve};
    TakeWorld world(stalled_word_, stalled_since_);
    protocol::Taker taker;
    taken_.read_index = read_index_;
    for (;;) {
      const protocol::Taker::Result result = taker.Step(ring, world, taken_);
      read_index_ = taken_.read_index;
      switch (result) {
        case protocol::Taker::Result::kRunning:
          break;
        case protocol::Taker::Result::kNone:
          return CommandTake::kNone;
        case protocol::Taker::Result::kWait:
          return CommandTake::kWait;
        case protocol::Taker::Result::kRecord:
          std::memcpy(out, taker.record, taker.length);
          length = taker.length;
          return CommandTake::kRecord;
      }
    }
  });
}

void CRingConsumer::StartForwarding() {
  if (!claimed_) {
    Resync();
    return;
  }
  ring_words::Repaired(view_, [&]() {
    if (!view_.valid() || capacity_ > protocol::kMaxRecord || slots_ > protocol::kMaxSlots) return;
    const protocol::Ring ring{view_.data(), capacity_, slots_, kCommandReserve};
    TakeWorld world(stalled_word_, stalled_since_);
    protocol::Starter starter;
    for (int tries = 0;;) {
      const protocol::Starter::Result result = starter.Step(ring, world, taken_);
      if (result == protocol::Starter::Result::kDone) break;
      if (result == protocol::Starter::Result::kWait) Pause(++tries);
    }
    read_index_ = taken_.read_index;
  });
}

}  // namespace exchange
