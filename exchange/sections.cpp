#include "exchange/sections.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <cstring>

#include "exchange/command_slots.h"
#include "exchange/ring_words.h"
#include "platform/doorbell.h"

namespace exchange {
namespace {

static_assert(std::endian::native == std::endian::little,
              "section words are stored little-endian in native order");

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '-';
}

using ring_words::Head;
using ring_words::Reserved;
using ring_words::Slot;

bool IsCommandRing(const std::string& object_name) {
  const std::string_view suffix = Spec(SectionId::kCommand).suffix;
  return object_name.size() >= suffix.size() &&
         object_name.compare(object_name.size() - suffix.size(), std::string::npos, suffix) == 0;
}

}  // namespace

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

std::vector<std::string> ServedRobots() {
  const std::string_view suffix = Spec(SectionId::kCommand).suffix;
  std::vector<std::string> robots;
  for (const std::string& name : platform::ListSharedObjects()) {
    if (name.size() < 1 + suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    if (!platform::IsClaimedByName(name)) continue;
    // Back from the escaped form: "%XX" is one byte.
    std::string robot;
    const std::string escaped = name.substr(1, name.size() - 1 - suffix.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
      if (escaped[i] == '%' && i + 2 < escaped.size() &&
          std::isxdigit(static_cast<unsigned char>(escaped[i + 1])) &&
          std::isxdigit(static_cast<unsigned char>(escaped[i + 2]))) {
        robot.push_back(static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16)));
        i += 2;
      } else {
        robot.push_back(escaped[i]);
      }
    }
    robots.push_back(robot);
  }
  std::sort(robots.begin(), robots.end());
  return robots;
}

std::string Utf8Prefix(const std::string& text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // a continuation byte
  return text.substr(0, cut);
}

const char* PutStatusText(PutStatus status) {
  switch (status) {
    case PutStatus::kStored:
      return "stored";
    case PutStatus::kTooLong:
      return "longer than a slot of the ring";
    case PutStatus::kNoSection:
      return "the ring's section is not open";
    case PutStatus::kNoBytes:
      return "no bytes were given for the record";
    case PutStatus::kNotRead:
      return "the ring stayed full: its relay did not read it in time";
  }
  return "unknown";
}

platform::Status CSectionView::Open(const std::string& object_name, uint32_t capacity, uint32_t slots,
                                    Side side, bool& created) {
  view_.Reset();
  created = false;
  commands_ = IsCommandRing(object_name);
  if (slots == 0) return platform::Status::kBadName;  // a ring needs at least one slot
  capacity_ = capacity;
  slots_ = slots;
  const platform::Status st =
      platform::OpenSharedView(object_name, SectionSize(capacity, slots), view_, created);
  if (st == platform::Status::kOk && created && side == Side::kWriter) {
    ring_words::Repaired(view_, [&] {
      Head(view_.data()).store(0, std::memory_order_release);
      Reserved(view_.data()).store(0, std::memory_order_relaxed);
    });
  }
  // The doorbell's count of queued waits is made with the section (by the relay, when it serves the
  // section first), not by a client's first wait.
  if (st == platform::Status::kOk)
    platform::PrepareDoorbell(ring_words::DoorbellWord(view_.data(), !commands_));
  return st;
}

platform::Doorbell CSectionView::Doorbell() const {
  return ring_words::Repaired(view_, [&]() -> platform::Doorbell {
    if (!view_.valid()) return {};
    const uint32_t* word = ring_words::DoorbellWord(view_.data(), !commands_);
    // Acquire: what the producer wrote before changing the word is seen by the look that follows.
    return {word, std::atomic_ref<const uint32_t>(*word).load(std::memory_order_acquire)};
  });
}

void CSectionView::Ring() const {
  if (view_.valid()) platform::RingDoorbell(ring_words::DoorbellWord(view_.data(), !commands_));
}

CRingProducer::~CRingProducer() = default;

platform::Status CRingProducer::Open(const std::string& object_name, uint32_t capacity, uint32_t slots) {
  bool created = false;
  return section_.Open(object_name, capacity, slots, CSectionView::Side::kWriter, created);
}

platform::Status CRingProducer::Open(std::string_view robot, SectionId id) {
  const SectionSpec& s = Spec(id);
  return Open(SectionObjectName(robot, s.suffix), s.capacity, s.slots);
}

PutStatus CRingProducer::Put(const uint8_t* bytes, uint32_t len) {
  const PutStatus status = PutUnrung(bytes, len);
  // Outside the guarded access: the ring reads the doorbell's count, which lies in no view of this
  // section.
  if (status == PutStatus::kStored) section_.Ring();
  return status;
}

PutStatus CRingProducer::PutUnrung(const uint8_t* bytes, uint32_t len) {
  if (!section_.valid()) return PutStatus::kNoSection;
  if (len > section_.capacity()) return PutStatus::kTooLong;
  // The command ring's reserved word is the relay's mark instead of a count.
  const bool counted = !section_.commands();
  const bool stored = ring_words::Repaired(section_.shared(), [&]() -> bool {
    unsigned char* base = section_.base();
    const uint32_t slots = section_.slots();
    // Only this producer writes head; a foreign value is brought back into range rather than trusted.
    uint32_t head = Head(base).load(std::memory_order_relaxed) % slots;
    unsigned char* slot = Slot(base, section_.capacity(), head);
    // The count goes odd before the slot is touched, so that a consumer copying this slot meanwhile
    // sees that a write began, and even again before the head moves: a consumer that sees the new
    // head (acquire) also sees a count that includes the record.
    const uint32_t count = Reserved(base).load(std::memory_order_relaxed) & ~1u;
    if (counted) {
      Reserved(base).store(count + 1, std::memory_order_relaxed);
      TREVASK_RING_FENCE(std::memory_order_release);
    }
    std::memcpy(slot, &len, 4);
    if (len > 0) std::memcpy(slot + 4, bytes, len);
    if (counted) Reserved(base).store(count + 2, std::memory_order_relaxed);
    Head(base).store((head + 1) % slots, std::memory_order_release);
    return true;
  });
  // Not stored: the section was shrunk under it and could not be given its size back.
  return stored ? PutStatus::kStored : PutStatus::kNoSection;
}

CRingConsumer::~CRingConsumer() = default;

platform::Status CRingConsumer::Open(const std::string& object_name, uint32_t capacity, uint32_t slots) {
  bool created = false;
  read_index_ = 0;
  const platform::Status st =
      section_.Open(object_name, capacity, slots, CSectionView::Side::kReader, created);
  lapped_ = 0;
  consumed_count_ = 0;
  if (st == platform::Status::kOk && !created) StartAtHead();
  return st;
}

platform::Status CRingConsumer::Open(std::string_view robot, SectionId id) {
  const SectionSpec& s = Spec(id);
  return Open(SectionObjectName(robot, s.suffix), s.capacity, s.slots);
}

void CRingConsumer::StartAtHead() {
  ring_words::Repaired(section_.shared(), [&] {
    const uint32_t head = Head(section_.base()).load(std::memory_order_acquire);
    read_index_ = head < section_.slots() ? head : 0;
    consumed_count_ = ring_words::RecordsIn(Reserved(section_.base()).load(std::memory_order_relaxed));
  });
}

bool CRingConsumer::Pending() const {
  return ring_words::Repaired(section_.shared(), [&]() -> bool {
    if (!section_.valid()) return false;
    unsigned char* base = section_.base();
    const uint32_t head = Head(base).load(std::memory_order_acquire);
    if (head >= section_.slots()) return false;  // a foreign head: nothing can be taken until it is mended
    if (head != read_index_) return true;
    // A ring lapped exactly shows its old head; its count tells (records are counted in 31 bits).
    const uint32_t count = ring_words::RecordsIn(Reserved(base).load(std::memory_order_relaxed));
    return !section_.commands() && ((count - consumed_count_) & 0x7FFFFFFFu) != 0;
  });
}

RingRecord CRingConsumer::Take() {
  return ring_words::Repaired(section_.shared(), [&]() -> RingRecord {
    if (!section_.valid()) return {};
    unsigned char* base = section_.base();
    const uint32_t slots = section_.slots();
    uint32_t head = Head(base).load(std::memory_order_acquire);
    if (head >= slots) return {};
    taken_head_ = head;
    // Records the producer has put that this consumer has not taken, against those still in the ring
    // ahead of it: the difference was overwritten. A producer that does not count leaves the count
    // still, and nothing is counted.
    const uint32_t available = (head + slots - read_index_) % slots;
    const uint32_t count = ring_words::RecordsIn(Reserved(base).load(std::memory_order_relaxed));
    // Records are counted modulo 2^31: the difference is taken in 31 bits.
    const int64_t unread = static_cast<int32_t>((count - consumed_count_) << 1) >> 1;
    if (unread > static_cast<int64_t>(available)) lapped_ += static_cast<uint64_t>(unread - available);
    consumed_count_ = count - available;
    if (read_index_ == head) return {};
    ++consumed_count_;
    RingRecord record;
    unsigned char* slot = Slot(base, section_.capacity(), read_index_);
    record.slot = slot;
    if (section_.commands()) {
      // Writers claim command slots through their length word (aligned: the slot size is a multiple
      // of four). A command the relay has sent already, or one published for it, is still the record
      // it was, for anyone else who watches.
      record.length = ring_words::Length(slot).load(std::memory_order_acquire);
      if (command_slot::IsTaken(record.length) || command_slot::IsPublished(record.length))
        record.length = command_slot::MarkedLength(record.length);
    } else {
      // The other rings' slots are 54 bytes apart, so their length words are not all aligned: read as
      // bytes. The head loaded with acquire above orders it after the producer's write.
      std::memcpy(&record.length, slot, 4);
    }
    record.capacity = section_.capacity();
    read_index_ = (read_index_ + 1) % slots;
    return record;
  });
}

bool CRingConsumer::TakeCopy(uint8_t* out, uint32_t room, uint32_t& length) {
  const platform::SharedView& view = section_.shared();
  for (;;) {
    // The producer's count word, read before the head Take reads: by then at most one more record
    // than that head shows was put (its count moves before its head).
    const uint32_t count_before = ring_words::Repaired(
        view, [&] { return ring_words::Reserved(view.data()).load(std::memory_order_acquire); });
    const uint32_t slot = read_index_;
    const RingRecord r = Take();
    if (!r) return false;
    length = r.length;
    const uint32_t n = r.size() < room ? r.size() : room;
    ring_words::Repaired(view, [&] {
      std::memcpy(out, r.data(), n);
      TREVASK_RING_FENCE(std::memory_order_acquire);  // the copy is done before the count is read
    });
    const uint32_t count_after = ring_words::Repaired(
        view, [&] { return ring_words::Reserved(view.data()).load(std::memory_order_acquire); });
    // From the head Take saw, the producer puts `ahead` records before it begins to write this slot
    // again, moving the count word by two for each and by one more as it begins. The first read may
    // already include the first of those records, so a rise of 2 * ahead - 1 from the last whole
    // record it shows may mean that this slot's write began.
    const uint32_t ahead = (slot + section_.slots() - taken_head_) % section_.slots();
    const bool counting = count_before != 0 || count_after != 0;
    if (!counting || count_after - (count_before & ~1u) + 1 < 2 * ahead) return true;
    ++lapped_;  // overwritten while copied: not delivered
  }
}

}  // namespace exchange
