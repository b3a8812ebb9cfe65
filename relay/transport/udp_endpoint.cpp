#include "relay/transport/udp_endpoint.h"

#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "platform/clock.h"

namespace relay {

bool CUdpEndpoint::Open(uint32_t robot_address, int port) {
  // A number beyond 16 bits would wrap to another port (99999 to 34463): nothing is opened.
  if (port < 0 || port > 65535) return false;
  if (!socket_.Open()) return false;
  robot_ = platform::Ipv4Endpoint{robot_address, static_cast<uint16_t>(port)};
  trusted_ip_ = robot_address;
  pending_ = false;
  last_source_ = {};
  source_changed_ = false;
  established_ = false;
  has_candidate_ = false;
  probed_ = false;
  if (robot_address != 0) return true;
  if (socket_.Bind(robot_)) return true;
  Close();
  return false;
}

void CUdpEndpoint::Close() {
  socket_.Close();
}

int CUdpEndpoint::SendDatagram(const uint8_t* data, int length) {
  if (robot_.address == 0 || length <= 0 || !socket_.IsOpen()) return 0;
  int sent = 0;
  while (sent < length) {
    const int n = socket_.SendTo(data + sent, static_cast<std::size_t>(length - sent), robot_);
    if (n <= 0) break;
    sent += n;
  }
  return sent;
}

int CUdpEndpoint::Receive(uint8_t* buffer, int size) {
  if (!socket_.IsOpen() || size < 0) return -1;
  platform::Ipv4Endpoint from;
  const int n = socket_.ReceiveFrom(buffer, static_cast<std::size_t>(size), from);
  if (n < 0) return -1;
  pending_ = false;
  if (from.address == 0 || (trusted_ip_ != 0 && from.address != trusted_ip_)) {
    ++foreign_datagrams_;  // not the robot: never read, never answered
    return 0;
  }
  source_changed_ = !(from == last_source_);
  last_source_ = from;
  if (!(from == robot_)) {
    pending_source_ = from;
    pending_ = true;
  }
  return n;
}

void CUdpEndpoint::Adopt(const platform::Ipv4Endpoint& source) {
  // The robot's port may change (its module restarted): the relay follows it, and counts it so a
  // person can see it in the statistics.
  if (robot_.address != 0) ++peer_changes_;
  robot_ = source;
  trusted_ip_ = source.address;
  established_ = true;
  has_candidate_ = false;
  probed_ = false;
  last_heard_.store(platform::TickCount(), std::memory_order_relaxed);
}

bool CUdpEndpoint::Quiet() const {
  return platform::TickElapsed(platform::TickCount(), last_heard_.load(std::memory_order_relaxed)) >=
         kPortQuietMs;
}

int CUdpEndpoint::Poll(int kind) {
  platform::SocketReadiness ready;
  const int result = socket_.Look(1000, ready);
  if (result <= 0) return result;
  if (kind == 1 && ready.readable) return kPollReadable;
  if (kind == 2 && ready.writable) return kPollWritable;
  if (ready.exceptional) return -2;
  return result;
}

int CUdpEndpoint::LocalPort() const {
  return socket_.LocalPort();
}

int CUdpEndpoint::ReadAvailable(uint8_t* buffer, int max) {
  // A look without a wait: the reader waits on the socket outside the link lock, and a wait here,
  // under the lock after every datagram, held each sender (a client's command, a keep-alive) for up
  // to a millisecond.
  platform::SocketReadiness ready;
  if (socket_.Look(0, ready) <= 0 || !ready.readable) return 0;
  return Receive(buffer, max);
}

LinkStatus CUdpEndpoint::Send(const uint8_t* bytes, int count) {
  // Not writable within 1 ms: the datagram is dropped (a later keep-alive or packet follows it).
  if (PollWritable() != kPollWritable) return LinkStatus::kNotReady;
  // While the established port is quiet, a keep-alive asks the candidate too; nothing else goes to a
  // port that has not answered one.
  if (has_candidate_ && count > static_cast<int>(exchange::kOffDataType) &&
      bytes[exchange::kOffDataType] == exchange::kTypeLinkStatus && Quiet()) {
    socket_.SendTo(bytes, static_cast<std::size_t>(count), candidate_);
    probed_ = true;
  }
  return SendDatagram(bytes, count) == count ? LinkStatus::kOk : LinkStatus::kSendFailed;
}

FrameOrigin CUdpEndpoint::FrameAccepted(uint8_t data_type) {
  if (!pending_) {
    if (robot_.address != 0) {
      established_ = true;
      last_heard_.store(platform::TickCount(), std::memory_order_relaxed);
    }
    return FrameOrigin::kPeer;
  }
  // Every frame of this datagram is from pending_source_ until that source is adopted.
  const uint64_t before = peer_changes_;
  if (!established_) {
    Adopt(pending_source_);  // the robot's first word
  } else {
    const bool same_candidate = has_candidate_ && candidate_ == pending_source_;
    if (!same_candidate) {
      candidate_ = pending_source_;
      has_candidate_ = true;
      probed_ = false;
      return FrameOrigin::kOther;
    }
    if (!probed_ || data_type != exchange::kTypeLinkStatus || !Quiet()) return FrameOrigin::kOther;
    Adopt(candidate_);  // the old port went quiet and this one answered a keep-alive sent to it
  }
  pending_ = false;  // the rest of the datagram comes from the robot's port now
  return peer_changes_ != before ? FrameOrigin::kNewPeer : FrameOrigin::kPeer;
}

}  // namespace relay
