#include "relay/transport/udp_endpoint.h"

#include <cstring>

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
  batch_next_ = batch_count_ = 0;
  emptied_ = false;
  if (robot_address != 0) return true;
  if (socket_.Bind(robot_)) return true;
  Close();
  return false;
}

void CUdpEndpoint::Close() {
  socket_.Close();
  batch_next_ = batch_count_ = 0;  // datagrams of a closed socket are read by nobody
}

int CUdpEndpoint::SendDatagram(const uint8_t* data, int length) {
  if (robot_.address == 0 || length <= 0 || !socket_.IsOpen()) return 0;
  int sent = 0;
  while (sent < length) {
    const int n = socket_.SendTo(data + sent, static_cast<std::size_t>(length - sent), robot_);
    if (n == platform::kSendWouldBlock && sent == 0) return platform::kSendWouldBlock;
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
  return Received(from) ? n : 0;
}

bool CUdpEndpoint::Received(const platform::Ipv4Endpoint& from) {
  pending_ = false;
  if (from.address == 0 || (trusted_ip_ != 0 && from.address != trusted_ip_)) {
    ++foreign_datagrams_;  // not the robot: never read, never answered
    return false;
  }
  source_changed_ = !(from == last_source_);
  last_source_ = from;
  if (!(from == robot_)) {
    pending_source_ = from;
    pending_ = true;
  }
  return true;
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

void CUdpEndpoint::MakeBatch() {
  if (!batch_bytes_.empty()) return;
  batch_bytes_.resize(kBatchDatagrams * kDatagramRoom);
  for (std::size_t i = 0; i < kBatchDatagrams; ++i)
    batch_[i] = platform::Datagram{batch_bytes_.data() + i * kDatagramRoom, kDatagramRoom, 0, {}};
}

int CUdpEndpoint::WaitAndTake(uint32_t limit_ms) {
  // A batch not handed out yet is data already: no wait.
  if (batch_next_ != batch_count_) return static_cast<int>(batch_count_ - batch_next_);
  if (!socket_.IsOpen()) return -1;
  MakeBatch();
  batch_next_ = batch_count_ = 0;
  // The wait for the first datagram and the read of all that are waiting then are one call, so an
  // idle link's reader costs one system call per wake-up and a busy one no wait at all.
  const int got = socket_.ReceiveManyWaiting(batch_, kBatchDatagrams, limit_ms);
  emptied_ = got < static_cast<int>(kBatchDatagrams);
  if (got > 0) batch_count_ = static_cast<std::size_t>(got);
  return got;
}

int CUdpEndpoint::ReadAvailable(uint8_t* buffer, int max) {
  // No look before the read: the reader waits in its own read (WaitAndTake) outside the link lock,
  // and only once a read has found the socket empty. One call takes every datagram waiting; they
  // are handed out one at a time, each with its own source.
  if (!socket_.IsOpen() || max < 0) return -1;
  for (;;) {
    if (batch_next_ == batch_count_) {
      MakeBatch();
      batch_next_ = batch_count_ = 0;
      const int got = socket_.ReceiveMany(batch_, kBatchDatagrams);
      emptied_ = got < static_cast<int>(kBatchDatagrams);
      if (got <= 0) return got < 0 ? -1 : 0;
      batch_count_ = static_cast<std::size_t>(got);
    }
    const platform::Datagram& d = batch_[batch_next_++];
    // Datagrams of other hosts, and empty ones, give the reader nothing: the next one is looked at.
    if (!Received(d.from) || d.length == 0 || max == 0) continue;
    const std::size_t n = d.length < static_cast<std::size_t>(max) ? d.length : static_cast<std::size_t>(max);
    std::memcpy(buffer, d.buffer, n);
    return static_cast<int>(n);
  }
}

LinkStatus CUdpEndpoint::Send(const uint8_t* bytes, int count) {
  // No look before the send: a socket that cannot take the datagram now says so, and the datagram
  // is dropped (a later keep-alive or packet follows it).
  if (!socket_.IsOpen()) return LinkStatus::kNotReady;
  // While the established port is quiet, a keep-alive asks the candidate too; nothing else goes to a
  // port that has not answered one.
  if (has_candidate_ && count > static_cast<int>(exchange::kOffDataType) &&
      bytes[exchange::kOffDataType] == exchange::kTypeLinkStatus && Quiet()) {
    socket_.SendTo(bytes, static_cast<std::size_t>(count), candidate_);
    probed_ = true;
  }
  const int sent = SendDatagram(bytes, count);
  if (sent == platform::kSendWouldBlock) return LinkStatus::kNotReady;
  return sent == count ? LinkStatus::kOk : LinkStatus::kSendFailed;
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
