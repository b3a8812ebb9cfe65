// The named ring sections between the relay and the controls.
//
// Layout of a section of S slots of capacity C (all words 32-bit little-endian):
//   0  head      slot the producer writes next
//   4  reserved  0
//   8 + i*(C+4)  length of slot i, then C data bytes
// Size = S * (C + 4) + 8. The producer writes length, then data, then head (release); a consumer
// reads head (acquire), then the slot in place. There is no lock between processes.
//
// The command section's reserved word carries the relay's forwarding mark, so that clients never
// overwrite a command the relay has not read yet:
//   bit 31     set while a relay forwards from the ring
//   bit 30     set while the robot answers the relay's keep-alives (the link is up)
//   bits 8-29  a count the relay advances on every pass of its link loop (it is alive)
//   bits 0-7   the slot the relay reads next
// A client whose put would land on that slot waits for the relay instead. Tools that follow the
// layout without the mark keep working: they never read the word, and a ring without a mark is
// written as before.
//
// Clients write the command ring without any lock between them: each put claims its slot through
// the slot's length word (command_slots.h), and the head only ever moves forward by compare-and-swap.
// A writer stopped in the middle of a put is passed over after kWriterStallMs; its record is then
// never sent and its put fails, whenever it goes on.
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

#include "exchange/command_protocol.h"
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

const SectionSpec& Spec(SectionId id);

using command_protocol::kMarkForwarding;
using command_protocol::kMarkLinkUp;
// The longest a command put waits, for room in a full ring or for other writers, before it fails.
inline constexpr uint32_t kPutWaitMs = 1000;
// Slots of the command ring writers leave free ahead of the relay (command_protocol.h): a full ring
// holds 32 - 1 - 8 = 23 commands the relay has not read.
inline constexpr uint32_t kCommandReserve = 8;
// A writer that holds a slot this long without finishing it (a put takes microseconds) is taken to
// be stopped, and is passed over.
inline constexpr uint32_t kWriterStallMs = 200;

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

class CRingProducer {
 public:
  CRingProducer() = default;
  virtual ~CRingProducer();
  CRingProducer(const CRingProducer&) = delete;
  CRingProducer& operator=(const CRingProducer&) = delete;

  // Creates or opens the section and maps it. When this call created it, head and reserved are 0.
  platform::ShmStatus Open(const std::string& object_name, uint32_t capacity, uint32_t slots);
  platform::ShmStatus Open(std::string_view robot, SectionId id);
  void Close() { view_.Reset(); }
  bool HasView() const { return view_.valid(); }

  // 1 when stored, 0 when `len` exceeds the capacity or there is no view.
  int Put(const uint8_t* bytes, uint32_t len);
  // Put for the command ring, as every client writes it: 1 when the record is in the ring for the
  // relay, 0 when it is not and never will be. Writers claim their slot one at a time; while a live
  // relay forwards, a full ring waits for it to read instead of overwriting. A mark whose relay has
  // gone (killed: it holds the ring's claim no longer) is cleared at once. Never waits more than
  // kPutWaitMs: a relay that does not read for that long makes the put fail.
  int PutPaced(const uint8_t* bytes, uint32_t len);

  // What a client can tell of the relay from the ring: none holds its claim, one holds it but does
  // not forward (its link is being made), one forwards while its robot does not answer yet, or one
  // forwards with the link up.
  enum class RelayState { kNoRelay, kNotForwarding, kForwarding, kLinkUp };
  RelayState Relay() const;
  // The one vocabulary of those states, for every front end (C, Python, the bridge's link topic):
  // "no-relay", "down", "not-answering", "up".
  static const char* RelayStateName(RelayState state);
  // The user who owns the section (-1 without one): another user's for sections a service relay made.
  long Owner() const { return platform::OwnerOf(view_); }

 private:
  platform::SharedView view_;
  uint32_t capacity_ = 0;
  uint32_t slots_ = 0;
  bool counted_ = true;  // counts its records in the reserved word (all rings but the command ring)
};

class CRingConsumer {
 public:
  CRingConsumer() = default;
  virtual ~CRingConsumer();
  CRingConsumer(const CRingConsumer&) = delete;
  CRingConsumer& operator=(const CRingConsumer&) = delete;

  // Creates or opens the section; never writes it. Reading starts at the current head, or at slot 0
  // when this call created the section.
  platform::ShmStatus Open(const std::string& object_name, uint32_t capacity, uint32_t slots);
  platform::ShmStatus Open(std::string_view robot, SectionId id);
  void Close();
  bool HasView() const { return view_.valid(); }

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

  uint32_t capacity() const { return capacity_; }
  uint32_t read_index() const { return read_index_; }

  // The ring's doorbell word and the value it holds now (no word without a view). Read it before
  // looking for records, then wait on it (platform/doorbell.h) when there were none: a record put
  // in between changes the word, so the wait ends at once.
  platform::Doorbell Doorbell() const;
  // True when the ring holds records this consumer has not taken, or it was lapped since its last
  // take (the next take says by how much).
  bool Pending() const;

  // The forwarding consumer's take from the command ring: copies the next record into `out` (at
  // least capacity() bytes) and marks its slot taken. kWait: the next slot is still being finished
  // by its writer (take again later; records stay in order). Records this consumer took already
  // that it finds ahead of it again (the head was moved back: a writer of the plain layout stored a
  // stale head) are passed over and counted in went_back(); nothing is taken twice.
  enum class CommandTake { kNone, kRecord, kWait };
  CommandTake TakeCommand(uint8_t* out, uint32_t& length);
  uint32_t went_back() const { return taken_.went_back; }
  // For the forwarding consumer, once it holds the claim: marks every record of the command ring
  // taken (records put before it forwards are never sent; a head moved back later lands on records
  // known to be old), starts reading at the head and publishes its mark (command_protocol.h). Waits
  // for writers in the middle of a put, kWriterStallMs at most. Without the claim it only starts
  // reading at the head.
  void StartForwarding();

  // The forwarding mark (see the layout above): published after every take and pass by the one
  // consumer that forwards, withdrawn when it stops forwarding.
  void PublishMark(uint32_t pass, bool link_up);
  void WithdrawMark();
  // Starts reading at the current head again, as a fresh open would (kOk), keeping the claim.
  platform::ShmStatus Resync();
  // Makes this process the ring's only forwarding consumer; false when another one is.
  bool Claim();
  void ReleaseClaim();

 private:
  platform::SharedView view_;
  uint32_t capacity_ = 0;
  uint32_t slots_ = 0;
  uint32_t read_index_ = 0;
  bool claimed_ = false;
  bool commands_ = false;        // the command ring, whose length words carry the writers' claims
  uint32_t consumed_count_ = 0;  // the producer's record count at this consumer's read position
  uint64_t lapped_ = 0;
  command_protocol::TakerState taken_;  // the forwarding consumer's reading of the command ring
  uint32_t taken_head_ = 0;             // the head the last take saw
  uint32_t stalled_word_ = 0;           // a writer's ticket seen on the next slot, and since when
  uint32_t stalled_since_ = 0;
};

}  // namespace exchange
