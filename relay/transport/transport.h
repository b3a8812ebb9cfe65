// The one small face every link transport shows the link manager: read what has arrived without
// waiting, send a frame by the transport's own rule, and a handle to wait on; opened and closed by
// the link's connection thread. Tests fake it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/waiting.h"
#include "relay/transport/link_status.h"

namespace relay {

// Where a link goes: the robot's IPv4 address (network order) and UDP port for Wi-Fi, the COM
// port number for a serial line. Each transport reads what it needs.
struct LinkTarget {
  uint32_t ip_address = 0;
  int udp_port = 0;
  int com_port = 0;
};

// Where a frame that passed the check came from, as far as the transport can tell.
enum class FrameOrigin {
  kPeer,     // the peer every sender sends to
  kNewPeer,  // a source the transport now follows instead of the peer it sent to until this frame
  kOther,    // another source, not followed (yet): what it says reaches nobody
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Opens the link to `target`; false when it cannot be opened (LastError says why, when it knows).
  virtual bool OpenLink(const LinkTarget& target) = 0;
  virtual void CloseLink() = 0;
  virtual bool IsOpen() const = 0;
  virtual std::string LastError() const { return {}; }
  // Bytes now available, at most `max`, copied into `buffer`; 0 when nothing is waiting, -1 on an
  // error. Never waits for data.
  virtual int ReadAvailable(uint8_t* buffer, int max) = 0;
  // True when the last ReadAvailable left nothing behind that had arrived by then: the reader waits
  // for more rather than reading again to find nothing. False where the transport cannot tell; the
  // reader then reads until a read finds nothing.
  virtual bool Emptied() const { return false; }
  // Sends bytes (a frame, or a line of the module's dialogue or of a firmware file) by the
  // transport's rule: kOk when all of them went out, kNotReady (the line cannot take them now; they
  // are dropped) or kSendFailed otherwise.
  virtual LinkStatus Send(const uint8_t* bytes, int count) = 0;
  // What to wait on between reads for data to arrive; kNoWaitHandle when closed (or when the
  // transport has nothing to wait on: the reader then looks again after a short pause).
  virtual platform::WaitHandle WaitHandle() const = 0;
  // A transport whose reader waits by reading: WaitAndTake instead of a wait on WaitHandle.
  virtual bool TakesWhileWaiting() const { return false; }
  // Waits at most `limit_ms` (scaled) for data, until StopWaiting, or until some comes, and takes
  // what has come in the same call for the next ReadAvailable to hand out: > 0 when some came, 0
  // when none, -1 on an error. On the reading thread, outside the link lock.
  virtual int WaitAndTake(uint32_t /*limit_ms*/) { return 0; }
  // Ends a WaitAndTake blocked on the reading thread at once, and every later one, until the link
  // is opened again. Called by the thread that opens and closes the link.
  virtual void StopWaiting() {}

  // A transport that learns its peer from what arrives: the bytes last read came from a source it
  // does not send to yet. Asked on the reading thread, which alone changes it, without the lock.
  virtual bool PeerPending() const { return false; }
  // A frame of `data_type` cut from the bytes last read passed the check. Called on the reading
  // thread for every such frame, under the link lock when PeerPending() (it may change where every
  // sender sends). Frames of kOther are dropped: a reading is taken from the source commands go
  // to, never from another.
  virtual FrameOrigin FrameAccepted(uint8_t /*data_type*/) { return FrameOrigin::kPeer; }
  // The bytes last read came from another sender than the bytes before them: a half frame kept
  // from the one is not to be completed by the other. Asked on the reading thread, after a read.
  virtual bool SourceChanged() const { return false; }
  // Datagrams dropped so far because they came from another host than the robot.
  virtual uint64_t DroppedForeign() const { return 0; }
};

}  // namespace relay
