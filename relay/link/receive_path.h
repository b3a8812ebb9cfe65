// The receive path: bytes from the transport cut into frames by the deframer, each candidate
// checked and counted, and every accepted frame dispatched into the sections. Runs on the receive
// thread only. The relay and the frames fuzz target use the same path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exchange/deframer.h"
#include "relay/link/inbound_dispatch.h"
#include "relay/link/link_stats.h"
#include "relay/link/recording.h"

namespace relay {

class CReceivePath : public exchange::FrameSink {
 public:
  // Told of every frame that passed the check, before it is dispatched (the Wi-Fi link follows the
  // robot's port on it). False: the frame came from a source the link does not follow, and is
  // dropped (counted as refused).
  class AcceptedHook {
   public:
    virtual ~AcceptedHook() = default;
    virtual bool OnAcceptedFrame(uint8_t data_type) = 0;
  };

  CReceivePath(InboundHooks& hooks, LinkStats& stats, AcceptedHook* accepted = nullptr)
      : dispatch_(hooks), stats_(stats), accepted_(accepted) {}

  void Feed(const uint8_t* chunk, std::size_t count) { deframer_.FeedBytes(chunk, count, *this); }
  // The next bytes come from another sender than the last: a half frame buffered is dropped.
  void Restart() { deframer_.Reset(); }
  // Every candidate frame is also recorded, before the check (null: none). Set while no receive
  // thread runs.
  void SetRecorder(CLinkRecorder* recorder) { recorder_ = recorder; }
  void HandleFrame(const uint8_t* frame, std::size_t length) override;
  CInboundDispatch& dispatch() { return dispatch_; }

 private:
  exchange::CDeframer deframer_;
  CInboundDispatch dispatch_;
  LinkStats& stats_;
  AcceptedHook* accepted_;
  CLinkRecorder* recorder_ = nullptr;
};

}  // namespace relay
