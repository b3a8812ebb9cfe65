// The command ring's two sides: the writer every client puts its commands with, and the one relay
// that forwards them to the robot.
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
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "exchange/command_protocol.h"
#include "exchange/sections.h"

namespace exchange {

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

// What a client can tell of the relay from the ring: none holds its claim, one holds it but does
// not forward (its link is being made), one forwards while its robot does not answer yet, or one
// forwards with the link up.
enum class RelayState { kNoRelay, kNotForwarding, kForwarding, kLinkUp };
// The one vocabulary of those states, for every front end (C, Python, the bridge's link topic):
// "no-relay", "down", "not-answering", "up".
const char* RelayStateName(RelayState state);

// A client's writer of the command ring.
class CCommandWriter {
 public:
  CCommandWriter() = default;
  CCommandWriter(const CCommandWriter&) = delete;
  CCommandWriter& operator=(const CCommandWriter&) = delete;

  // Creates or opens robot `robot`'s command section and maps it. When this call created it, head
  // and reserved are 0.
  platform::Status Open(std::string_view robot);
  void Close() { section_.Close(); }
  bool HasView() const { return section_.valid(); }

  // Puts one record for the relay: kStored when it is in the ring for the relay, anything else when
  // it is not and never will be. Writers claim their slot one at a time; while a live relay
  // forwards, a full ring waits for it to read instead of overwriting. A mark whose relay has gone
  // (killed: it holds the ring's claim no longer) is cleared at once. Never waits more than
  // kPutWaitMs: a relay that does not read for that long makes the put kNotRead.
  PutStatus Put(const uint8_t* bytes, uint32_t len);

  RelayState Relay() const;
  // The user who owns the section (-1 without one): another user's for sections a service relay made.
  long Owner() const { return section_.Owner(); }

 private:
  CSectionView section_;
};

// The relay's side of the command ring: the one process that claims it takes every record once, in
// order, and publishes the mark that lets writers wait for it.
class CCommandTaker {
 public:
  CCommandTaker() = default;
  ~CCommandTaker();
  CCommandTaker(const CCommandTaker&) = delete;
  CCommandTaker& operator=(const CCommandTaker&) = delete;

  // Creates or opens robot `robot`'s command section; never writes it. Reading starts at the current
  // head, or at slot 0 when this call created the section.
  platform::Status Open(std::string_view robot);
  // Gives up the claim, then the view.
  void Close();
  bool HasView() const { return section_.valid(); }
  uint32_t capacity() const { return section_.capacity(); }

  // Makes this process the ring's only forwarder; false when another one is.
  bool Claim();
  void ReleaseClaim();
  // Once it holds the claim: marks every record of the ring taken (records put before it forwards
  // are never sent; a head moved back later lands on records known to be old), starts reading at the
  // head and publishes its mark. Waits for writers in the middle of a put, kWriterStallMs at most.
  // Without the claim it only starts reading at the head.
  void StartForwarding();
  // Starts reading at the current head again, as a fresh open would (kOk), keeping the claim.
  platform::Status Resync();

  // Copies the next record into `out` (at least capacity() bytes) and marks its slot taken. kWait:
  // the next slot is still being finished by its writer (take again later; records stay in order).
  // Records this taker took already that it finds ahead of it again (the head was moved back: a
  // writer of the plain layout stored a stale head) are passed over and counted in went_back();
  // nothing is taken twice.
  enum class TakeStatus { kNone, kRecord, kWait };
  TakeStatus Take(uint8_t* out, uint32_t& length);
  uint32_t went_back() const { return taken_.went_back; }

  // The forwarding mark (see above): published after every take and pass while this process holds
  // the claim, withdrawn when it stops forwarding.
  void PublishMark(uint32_t pass, bool link_up);
  void WithdrawMark();

  // The ring's doorbell (CSectionView::Doorbell): a put ends a wait on it.
  platform::Doorbell Doorbell() const { return section_.Doorbell(); }

 private:
  CSectionView section_;
  bool claimed_ = false;
  command_protocol::TakerState taken_;  // where it reads, and the markers it left
  uint32_t stalled_word_ = 0;           // a writer's ticket seen on the next slot, and since when
  uint32_t stalled_since_ = 0;
};

}  // namespace exchange
