// The clients' command ring and what the relay does with its records: frames go to the robot
// unchanged (a record command also sets the voice segment length, a stop command ends the sound
// upload), any other record names a sound file to upload. Runs on the connection thread.
#pragma once

#include <cstdint>
#include <string>

#include "exchange/command_ring.h"
#include "relay/link/audio_upload.h"
#include "relay/link/inbound_dispatch.h"
#include "relay/link/link_events.h"
#include "relay/link/link_writer.h"
#include "relay/transport/link_status.h"

namespace relay {

class CCommandForwarder {
 public:
  CCommandForwarder(CLinkWriter& writer, CInboundDispatch& dispatch, CAudioUpload& audio, LinkEvents& events)
      : writer_(writer), dispatch_(dispatch), audio_(audio), events_(events) {}

  // Opens the command ring of robot `prefix` and claims it: kClaimedElsewhere when another relay
  // serves that name. The name this relay holds already keeps its claim (no other relay can slip in
  // between two connects); its ring still starts over at the head, so records put while the link
  // was down are dropped.
  LinkStatus Open(const std::string& prefix, platform::Status& status);
  // Forwards everything clients have put since the last pass, in order (at most one ring's worth),
  // and publishes the forwarding mark that lets their writers wait for the relay. A record still
  // being finished by its writer waits for the next pass with everything behind it. A head moved
  // back over records already sent is a fault: it is reported (once a minute at most), and nothing is sent
  // twice. kHeldBack when records may wait for the next pass: the pass ended on a sound-file request
  // (what follows it waits), on a record its writer is still finishing, or at the pass's limit.
  enum class PassEnd { kDone, kHeldBack };
  PassEnd ForwardPending(bool link_up);
  // The command ring's doorbell as it stands, read before a pass: waiting on it after the pass ends
  // when a client puts a record (platform/doorbell.h).
  platform::Doorbell Doorbell() const { return commands_.Doorbell(); }
  // One record as ForwardPending handles it: `length` is the record's length word, `data` holds the
  // slot's `capacity` bytes.
  void HandleRecord(const uint8_t* data, uint32_t length, uint32_t capacity);
  // The link loop ended: writers stop waiting for it.
  void WithdrawMark() { commands_.WithdrawMark(); }
  void Close() { commands_.Close(); }

 private:
  CLinkWriter& writer_;
  CInboundDispatch& dispatch_;
  CAudioUpload& audio_;
  LinkEvents& events_;
  exchange::CCommandTaker commands_;
  std::string claimed_prefix_;       // the robot name whose command ring this relay holds
  uint32_t passes_ = 0;              // forwarding passes, published in the mark
  bool went_back_reported_ = false;  // a head moved back was reported, at went_back_at_
  uint32_t went_back_at_ = 0;
  uint32_t went_back_unsaid_ = 0;  // times since, not reported yet

  void ReportHeadWentBack();
};

}  // namespace relay
