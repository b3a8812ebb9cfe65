// The named ring sections between the relay and the controls.
//
// Layout of a section of S slots of capacity C (all words 32-bit little-endian):
//   0  head      slot the producer writes next
//   4  reserved  0
//   8 + i*(C+4)  length of slot i, then C data bytes
// Size = S * (C + 4) + 8. The producer writes length, then data, then head (release); a consumer
// reads head (acquire), then the slot in place. There is no lock between processes.
//
// The command ring's words carry more (its writers' claims, the relay's forwarding mark): see
// command_ring.h, whose handles write and forward it. Tools that follow the layout without those
// marks keep working: they never read the reserved word, and a ring without a mark is written as
// before.
//
// In the rings the relay fills (sensor, image, audio), the reserved word counts the records put since
// the section was made, so that a client can tell how many records it missed when it fell a ring
// or more behind (the ring alone cannot: a consumer lapped exactly sees nothing new). It moves twice
// per record, odd while a slot is being written, so a client copying a record can tell that its
// slot was overwritten meanwhile.
//
// Object name: "/" + robot name + suffix, every byte outside A-Z a-z 0-9 _ . - written as %XX
// (upper-case hex). This naming is public: tools outside the project open the rings by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/doorbell.h"
#include "platform/shared_memory.h"

namespace exchange {

enum class SectionId { kStandardSensor, kMotorSensor, kCustomSensor, kImage, kAudio, kCommand, kSignal };

struct SectionSpec {
  SectionId id;
  const char* suffix;
  uint32_t capacity;
  uint32_t slots;
};

// The longest robot name, in bytes: the relay serves at most this much of a name (its robot ID
// field), so a client's name must be no longer to meet it.
inline constexpr std::size_t kRobotNameMax = 29;

// The largest command record: a slot of the command ring.
inline constexpr uint32_t kCommandRecordMax = 80;

inline constexpr SectionSpec kSections[] = {
    {SectionId::kStandardSensor, "SensorShareMem_Zembrin", 50, 5},
    {SectionId::kMotorSensor, "McSensorShareMem_Zembrin", 50, 5},
    {SectionId::kCustomSensor, "CustomIOShareMem_Zembrin", 50, 5},
    {SectionId::kImage, "ImageShareMem_Zembrin", 20000, 3},
    {SectionId::kAudio, "AudioShareMem_Zembrin", 330000, 3},
    {SectionId::kCommand, "McCommandsShareMem_Zembrin", kCommandRecordMax, 32},
    {SectionId::kSignal, "McSignalShareMem_Zembrin", 50, 5},
};

constexpr const SectionSpec& Spec(SectionId id) {
  for (const SectionSpec& s : kSections)
    if (s.id == id) return s;
  return kSections[0];
}

constexpr std::size_t SectionSize(uint32_t capacity, uint32_t slots) {
  return static_cast<std::size_t>(slots) * (capacity + 4u) + 8u;
}

// "/" + escaped(robot + suffix).
std::string SectionObjectName(std::string_view robot, std::string_view suffix);

// The robot names a relay serves on this machine (a live relay holds the claim of their command
// section), sorted: for a client that finds no relay under the name it was given.
std::vector<std::string> ServedRobots();

// The first bytes of a robot name, at most `max_bytes`, cut before a UTF-8 character rather than
// inside it (a name shortened for a section or a message stays valid text).
std::string Utf8Prefix(const std::string& text, std::size_t max_bytes);

// What became of a put. Every writer of every ring answers with one of these.
enum class PutStatus {
  kStored,     // the record is in the ring
  kTooLong,    // longer than the ring's slots: nothing was written
  kNoSection,  // the handle has no mapped section
  kNoBytes,    // a record of some length without the bytes to copy
  kNotRead,    // the command ring stayed full for kPutWaitMs: its relay did not read it in time
};
// A few words for a person ("stored", "longer than a slot", ...).
const char* PutStatusText(PutStatus status);

// A record handed out by take: the slot's raw length word and its data, in place. `size()` never
// exceeds the slot's capacity even when the length word does.
struct RingRecord {
  const uint8_t* slot = nullptr;  // the length word; the data follows it
  uint32_t length = 0;            // the raw length word
  uint32_t capacity = 0;

  explicit operator bool() const { return slot != nullptr; }
  const uint8_t* data() const { return slot + 4; }
  uint32_t size() const { return length < capacity ? length : capacity; }
};

// One mapped section and its shape (capacity and slots, from the section table or the caller): what
// every ring handle is built on. It tells the ring's doorbell word, which is the record count in the
// rings that count their records and the head in the command ring, whose writers move it.
class CSectionView {
 public:
  // A writer that creates the section sets head and reserved to 0; a reader never writes it.
  enum class Side { kReader, kWriter };

  CSectionView() = default;
  CSectionView(const CSectionView&) = delete;
  CSectionView& operator=(const CSectionView&) = delete;

  // Creates or opens the section and maps all of it; `created` tells whether this call made it.
  platform::Status Open(const std::string& object_name, uint32_t capacity, uint32_t slots, Side side,
                        bool& created);
  void Close() { view_.Reset(); }
  bool valid() const { return view_.valid(); }

  unsigned char* base() const { return view_.data(); }
  const platform::SharedView& shared() const { return view_; }
  uint32_t capacity() const { return capacity_; }
  uint32_t slots() const { return slots_; }
  // The command ring: its length words carry its writers' claims, its reserved word the relay's
  // mark, and it counts no records.
  bool commands() const { return commands_; }

  // The doorbell word and the value it holds now (no word without a view). Read it before looking
  // for records, then wait on it (platform/doorbell.h) when there were none: a record put in between
  // changes the word, so the wait ends at once.
  platform::Doorbell Doorbell() const;
  // Wakes whoever waits on the doorbell: after a record was put.
  void Ring() const;
  // The user who owns the section (-1 without one): another user's for sections a service relay made.
  long Owner() const { return platform::OwnerOf(view_); }

 private:
  platform::SharedView view_;
  uint32_t capacity_ = 0;
  uint32_t slots_ = 0;
  bool commands_ = false;
};

// Writes records into a ring the relay fills (and, as tools and relays of the plain layout do, the
// command ring without its writers' claims: command_ring.h has the clients' writer).
class CRingProducer {
 public:
  CRingProducer() = default;
  virtual ~CRingProducer();
  CRingProducer(const CRingProducer&) = delete;
  CRingProducer& operator=(const CRingProducer&) = delete;

  // Creates or opens the section and maps it. When this call created it, head and reserved are 0.
  platform::Status Open(const std::string& object_name, uint32_t capacity, uint32_t slots);
  platform::Status Open(std::string_view robot, SectionId id);
  void Close() { section_.Close(); }
  bool HasView() const { return section_.valid(); }

  // kStored, kTooLong (nothing written) or kNoSection. Never waits and never looks at a consumer.
  // Rings the ring's doorbell for the record.
  PutStatus Put(const uint8_t* bytes, uint32_t len);
  // Put without the ring, for a producer that publishes several records and then rings once: its
  // consumers wake once for all of them.
  PutStatus PutUnrung(const uint8_t* bytes, uint32_t len);
  // Wakes whoever waits on the ring's doorbell (after PutUnrung).
  void Ring() const { section_.Ring(); }

 private:
  CSectionView section_;
};

// Reads the records of a ring the relay fills, in place or copied out. It may watch the command ring
// too, read-only, as tools do: it then sees each record for what it was, whatever mark it carries.
class CRingConsumer {
 public:
  CRingConsumer() = default;
  virtual ~CRingConsumer();
  CRingConsumer(const CRingConsumer&) = delete;
  CRingConsumer& operator=(const CRingConsumer&) = delete;

  // Creates or opens the section; never writes it. Reading starts at the current head, or at slot 0
  // when this call created the section.
  platform::Status Open(const std::string& object_name, uint32_t capacity, uint32_t slots);
  platform::Status Open(std::string_view robot, SectionId id);
  void Close() { section_.Close(); }
  bool HasView() const { return section_.valid(); }

  // The next record, or an empty one when nothing is new (or there is no view, or the head word
  // holds no valid slot index).
  RingRecord Take();
  // The next record copied into `out` (at most `room` bytes; `length` is its raw length word), checked
  // against the producer's record count after the copy: a record the producer may have begun to
  // overwrite while it was copied is dropped (counted as lapped) and the next one is taken instead,
  // so a copy never mixes two records. False when nothing is new. A producer that does not count
  // cannot be checked; its records are taken as they are.
  bool TakeCopy(uint8_t* out, uint32_t room, uint32_t& length);
  // Records the producer overwrote before this consumer took them, counted from the producer's
  // record count (0 for producers that do not count).
  uint64_t lapped() const { return lapped_; }

  uint32_t capacity() const { return section_.capacity(); }
  uint32_t read_index() const { return read_index_; }

  // The ring's doorbell (CSectionView::Doorbell).
  platform::Doorbell Doorbell() const { return section_.Doorbell(); }
  // True when the ring holds records this consumer has not taken, or it was lapped since its last
  // take (the next take says by how much).
  bool Pending() const;

 private:
  void StartAtHead();

  CSectionView section_;
  uint32_t read_index_ = 0;
  uint32_t consumed_count_ = 0;  // the producer's record count at this consumer's read position
  uint64_t lapped_ = 0;
  uint32_t taken_head_ = 0;  // the head the last take saw
};

}  // namespace exchange
