// The command ring's writers and its one forwarding reader on a mapped section: the step machines of
// command_protocol.h run to their end, with the world's answers taken from the clock and the process
// table. A writer that stops anywhere in a put (a debugger, Ctrl-Z) holds up the others for
// kWriterStallMs at most: they mark its slot abandoned and pass over it, the relay skips it, and the
// stopped writer, whenever it goes on, finds its claim gone and fails its put instead of publishing
// anything. The head never moves back: it only ever advances by compare-and-swap from the value a
// writer read.
#include "exchange/command_ring.h"

#include <atomic>
#include <cstring>

#include "exchange/command_protocol.h"
#include "exchange/ring_words.h"
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

const char* RelayStateName(RelayState state) {
  switch (state) {
    case RelayState::kNoRelay:
      break;
    case RelayState::kNotForwarding:
      return "down";
    case RelayState::kForwarding:
      return "not-answering";
    case RelayState::kLinkUp:
      return "up";
  }
  return "no-relay";
}

platform::Status CCommandWriter::Open(std::string_view robot) {
  const SectionSpec& s = Spec(SectionId::kCommand);
  bool created = false;
  return section_.Open(SectionObjectName(robot, s.suffix), s.capacity, s.slots, CSectionView::Side::kWriter,
                       created);
}

PutStatus CCommandWriter::Put(const uint8_t* bytes, uint32_t len) {
  if (!section_.valid()) return PutStatus::kNoSection;
  if (len > section_.capacity()) return PutStatus::kTooLong;
  // An empty record is stored like any other (a client may put one); the relay sends nothing for it.
  if (len > 0 && bytes == nullptr) return PutStatus::kNoBytes;
  // Stays so when the section was shrunk under the put and could not be given its size back.
  PutStatus status = PutStatus::kNoSection;
  ring_words::Repaired(section_.shared(), [&] {
    const protocol::Ring ring{section_.base(), section_.capacity(), section_.slots(), kCommandReserve};
    PutWorld world(section_.shared());
    protocol::Writer writer(bytes, len);
    for (int tries = 0;;) {
      switch (writer.Step(ring, world)) {
        case protocol::Writer::Result::kRunning:
          break;
        case protocol::Writer::Result::kRetry:
          Pause(++tries);
          break;
        case protocol::Writer::Result::kStored:
          status = PutStatus::kStored;
          return;
        case protocol::Writer::Result::kFailed:
          status = PutStatus::kNotRead;
          return;
      }
    }
  });
  // Outside the guarded access: the ring reads the doorbell's count, which lies in no view of this
  // section.
  if (status == PutStatus::kStored) section_.Ring();
  return status;
}

RelayState CCommandWriter::Relay() const {
  // The claim is looked at outside the guarded access, which holds only the load of the mark.
  if (!section_.valid() || !platform::IsClaimed(section_.shared())) return RelayState::kNoRelay;
  const uint32_t mark = ring_words::Repaired(section_.shared(), [&] {
    return ring_words::Reserved(section_.base()).load(std::memory_order_acquire);
  });
  if ((mark & kMarkForwarding) == 0) return RelayState::kNotForwarding;
  return (mark & kMarkLinkUp) != 0 ? RelayState::kLinkUp : RelayState::kForwarding;
}

CCommandTaker::~CCommandTaker() {
  Close();
}

void CCommandTaker::Close() {
  ReleaseClaim();
  section_.Close();
}

platform::Status CCommandTaker::Open(std::string_view robot) {
  Close();
  const SectionSpec& s = Spec(SectionId::kCommand);
  bool created = false;
  const platform::Status st = section_.Open(SectionObjectName(robot, s.suffix), s.capacity, s.slots,
                                            CSectionView::Side::kReader, created);
  taken_ = {};
  if (st == platform::Status::kOk && !created) Resync();
  return st;
}

platform::Status CCommandTaker::Resync() {
  return ring_words::Repaired(section_.shared(), [&]() -> platform::Status {
    if (!section_.valid()) return platform::Status::kMapFailed;
    const uint32_t head = ring_words::Head(section_.base()).load(std::memory_order_acquire);
    taken_.read_index = head < section_.slots() ? head : 0;
    return platform::Status::kOk;
  });
}

bool CCommandTaker::Claim() {
  if (!claimed_ && section_.valid()) claimed_ = platform::TryClaim(section_.shared());
  return claimed_;
}

void CCommandTaker::ReleaseClaim() {
  if (!claimed_) return;
  WithdrawMark();
  platform::ReleaseClaim(section_.shared());
  claimed_ = false;
}

void CCommandTaker::PublishMark(uint32_t pass, bool link_up) {
  ring_words::Repaired(section_.shared(), [&]() {
    if (!claimed_) return;
    ring_words::Reserved(section_.base())
        .store(protocol::MarkWord(pass, link_up, taken_.read_index), std::memory_order_release);
  });
}

void CCommandTaker::WithdrawMark() {
  ring_words::Repaired(section_.shared(), [&]() {
    if (claimed_) ring_words::Reserved(section_.base()).store(0, std::memory_order_release);
  });
}

CCommandTaker::TakeStatus CCommandTaker::Take(uint8_t* out, uint32_t& length) {
  return ring_words::Repaired(section_.shared(), [&]() -> TakeStatus {
    length = 0;
    if (!section_.valid() || section_.capacity() > protocol::kMaxRecord ||
        section_.slots() > protocol::kMaxSlots)
      return TakeStatus::kNone;
    const protocol::Ring ring{section_.base(), section_.capacity(), section_.slots(), kCommandReserve};
    TakeWorld world(stalled_word_, stalled_since_);
    protocol::Taker taker;
    for (;;) {
      switch (taker.Step(ring, world, taken_)) {
        case protocol::Taker::Result::kRunning:
          break;
        case protocol::Taker::Result::kNone:
          return TakeStatus::kNone;
        case protocol::Taker::Result::kWait:
          return TakeStatus::kWait;
        case protocol::Taker::Result::kRecord:
          std::memcpy(out, taker.record, taker.length);
          length = taker.length;
          return TakeStatus::kRecord;
      }
    }
  });
}

void CCommandTaker::StartForwarding() {
  if (!claimed_) {
    Resync();
    return;
  }
  ring_words::Repaired(section_.shared(), [&]() {
    if (!section_.valid() || section_.capacity() > protocol::kMaxRecord ||
        section_.slots() > protocol::kMaxSlots)
      return;
    const protocol::Ring ring{section_.base(), section_.capacity(), section_.slots(), kCommandReserve};
    TakeWorld world(stalled_word_, stalled_since_);
    protocol::Starter starter;
    for (int tries = 0;;) {
      const protocol::Starter::Result result = starter.Step(ring, world, taken_);
      if (result == protocol::Starter::Result::kDone) break;
      if (result == protocol::Starter::Result::kWait) Pause(++tries);
    }
  });
}

}  // namespace exchange
