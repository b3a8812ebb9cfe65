#include "exchange/sections.h"

#include <atomic>
#include <bit>
#include <cstring>

#include "platform/clock.h"

namespace exchange {
namespace {

static_assert(std::endian::native == std::endian::little,
              "section words are stored little-endian in native order");

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '-';
}

// The head word is shared with other processes. The producer publishes a slot by storing head with
// release after writing length and data; the consumer loads it with acquire before reading the slot.
std::atomic_ref<uint32_t> HeadOf(unsigned char* base) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base));
}

// The forwarding mark in the reserved word: stored with release by the relay after it has copied
// the record out of the slot, loaded with acquire by a writer before it reuses that slot.
std::atomic_ref<uint32_t> MarkOf(unsigned char* base) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base + 4));
}

unsigned char* SlotOf(unsigned char* base, uint32_t capacity, uint32_t index) {
  return base + 8 + static_cast<std::size_t>(index) * (capacity + 4u);
}

}  // namespace

const SectionSpec& Spec(SectionId id) {
  for (const SectionSpec& s : kSections)
    if (s.id == id) return s;
  return kSections[0];
}

std::string SectionObjectName(std::string_view robot, std::string_view suffix) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string name = "/";
  auto add = [&name](std::string_view text) {
    for (unsigned char c : text) {
      if (Unreserved(c)) {
        name.push_back(static_cast<char>(c));
      } else {
        name.push_back('%');
        name.push_back(kHex[c >> 4]);
        name.push_back(kHex[c & 0xF]);
      }
    }
  };
  add(robot);
  add(suffix);
  return name;
}

std::string Utf8Prefix(const std::string& text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // a continuation byte
  return text.substr(0, cut);
}

CRingProducer::~CRingProducer() = default;

platform::ShmStatus CRingProducer::Open(const std::string& object_name, uint32_t capacity, uint32_t slots) {
  view_.Reset();
  const std::string_view command_suffix = Spec(SectionId::kCommand).suffix;
  counted_ = !(object_name.size() >= command_suffix.size() &&
               object_name.compare(object_name.size() - command_suffix.size(), std::string::npos,
                                   command_suffix) == 0);
  if (slots == 0) return platform::ShmStatus::kBadName;  // a ring needs at least one slot
  bool created = false;
  capacity_ = capacity;
  slots_ = slots;
  platform::ShmStatus st =
      platform::OpenSharedView(object_name, SectionSize(capacity, slots), view_, created);
  if (st == platform::ShmStatus::kOk && created) {
    HeadOf(view_.data()).store(0, std::memory_order_release);
    std::memset(view_.data() + 4, 0, 4);
  }
  return st;
}

platform::ShmStatus CRingProducer::Open(std::string_view robot, SectionId id) {
  const SectionSpec& s = Spec(id);
  return Open(SectionObjectName(robot, s.suffix), s.capacity, s.slots);
}

int CRingProducer::Put(const uint8_t* bytes, uint32_t len) {
  if (!view_.valid() || len > capacity_) return 0;
  unsigned char* base = view_.data();
  // Only this producer writes head; a foreign value is brought back into range rather than trusted.
  uint32_t head = HeadOf(base).load(std::memory_order_relaxed) % slots_;
  unsigned char* slot = SlotOf(base, capacity_, head);
  std::memcpy(slot, &len, 4);
  if (len > 0) std::memcpy(slot + 4, bytes, len);
  // The count first: a consumer that sees the new head (acquire) also sees a count that includes it.
  // (The command ring's word is the relay's mark instead.)
  if (counted_)
    MarkOf(base).store(MarkOf(base).load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  HeadOf(base).store((head + 1) % slots_, std::memory_order_release);
  return 1;
}

int CRingProducer::PutPaced(const uint8_t* bytes, uint32_t len) {
  if (!view_.valid() || len > capacity_) return 0;
  platform::WriterLock turn(view_, kWriterWaitMs);  // without the turn the put goes ahead regardless
  unsigned char* base = view_.data();
  uint32_t seen = MarkOf(base).load(std::memory_order_acquire);
  uint32_t seen_at = platform::TickCount();
  for (;;) {
    const uint32_t mark = MarkOf(base).load(std::memory_order_acquire);
    if ((mark & kMarkForwarding) == 0 || (mark & 0xFF) >= slots_) break;
    const uint32_t head = HeadOf(base).load(std::memory_order_relaxed) % slots_;
    if ((head + 1) % slots_ != (mark & 0xFF)) break;  // room for one more
    const uint32_t now = platform::TickCount();
    if (mark != seen) {
      seen = mark;
      seen_at = now;
    } else if (!platform::IsClaimed(view_) || platform::TickElapsed(now, seen_at) >= kStaleMarkMs) {
      // The relay ended without withdrawing its mark (it was killed), or has been stuck for long:
      // nobody reads this ring now.
      MarkOf(base).compare_exchange_strong(seen, 0, std::memory_order_acq_rel);
      break;
    }
    platform::Sleep(1);
  }
  return Put(bytes, len);
}

CRingProducer::RelayState CRingProducer::Relay() const {
  if (!view_.valid() || !platform::IsClaimed(view_)) return RelayState::kNoRelay;
  const uint32_t mark = MarkOf(view_.data()).load(std::memory_order_acquire);
  if ((mark & kMarkForwarding) == 0) return RelayState::kNotForwarding;
  return (mark & kMarkLinkUp) != 0 ? RelayState::kLinkUp : RelayState::kForwarding;
}

CRingConsumer::~CRingConsumer() {
  Close();
}

void CRingConsumer::Close() {
  ReleaseClaim();
  view_.Reset();
}

platform::ShmStatus CRingConsumer::Open(const std::string& object_name, uint32_t capacity, uint32_t slots) {
  Close();
  if (slots == 0) return platform::ShmStatus::kBadName;  // a ring needs at least one slot
  bool created = false;
  capacity_ = capacity;
  slots_ = slots;
  read_index_ = 0;
  platform::ShmStatus st =
      platform::OpenSharedView(object_name, SectionSize(capacity, slots), view_, created);
  lapped_ = 0;
  if (st == platform::ShmStatus::kOk && !created) {
    uint32_t head = HeadOf(view_.data()).load(std::memory_order_acquire);
    read_index_ = head < slots_ ? head : 0;
    consumed_count_ = MarkOf(view_.data()).load(std::memory_order_relaxed);
  } else {
    consumed_count_ = 0;
  }
  return st;
}

platform::ShmStatus CRingConsumer::Open(std::string_view robot, SectionId id) {
  const SectionSpec& s = Spec(id);
  return Open(SectionObjectName(robot, s.suffix), s.capacity, s.slots);
}

platform::ShmStatus CRingConsumer::Resync() {
  if (!view_.valid()) return platform::ShmStatus::kMapFailed;
  const uint32_t head = HeadOf(view_.data()).load(std::memory_order_acquire);
  read_index_ = head < slots_ ? head : 0;
  consumed_count_ = MarkOf(view_.data()).load(std::memory_order_relaxed);
  return platform::ShmStatus::kOk;
}

void CRingConsumer::PublishMark(uint32_t pass, bool link_up) {
  if (!claimed_) return;
  MarkOf(view_.data())
      .store(kMarkForwarding | (link_up ? kMarkLinkUp : 0) | ((pass & 0x3FFFFF) << 8) | read_index_,
             std::memory_order_release);
}

void CRingConsumer::WithdrawMark() {
  if (claimed_) MarkOf(view_.data()).store(0, std::memory_order_release);
}

bool CRingConsumer::Claim() {
  if (!claimed_ && view_.valid()) claimed_ = platform::TryClaim(view_);
  return claimed_;
}

void CRingConsumer::ReleaseClaim() {
  if (!claimed_) return;
  WithdrawMark();
  platform::ReleaseClaim(view_);
  claimed_ = false;
}

RingRecord CRingConsumer::Take() {
  if (!view_.valid()) return {};
  unsigned char* base = view_.data();
  uint32_t head = HeadOf(base).load(std::memory_order_acquire);
  if (head >= slots_) return {};
  // Records the producer has put that this consumer has not taken, against those still in the ring
  // ahead of it: the difference was overwritten. A producer that does not count leaves the count
  // still, and nothing is counted.
  const uint32_t available = (head + slots_ - read_index_) % slots_;
  const uint32_t count = MarkOf(base).load(std::memory_order_relaxed);
  const int64_t unread = static_cast<int32_t>(count - consumed_count_);
  if (unread > static_cast<int64_t>(available)) lapped_ += static_cast<uint64_t>(unread - available);
  consumed_count_ = count - available;
  if (read_index_ == head) return {};
  ++consumed_count_;
  RingRecord record;
  record.slot = SlotOf(base, capacity_, read_index_);
  std::memcpy(&record.length, record.slot, 4);
  record.capacity = capacity_;
  read_index_ = (read_index_ + 1) % slots_;
  return record;
}

}  // namespace exchange
