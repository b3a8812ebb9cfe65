// The Wi-Fi link: one IPv4 UDP socket and the robot's address.
//
// Only the robot's own IP address is listened to: datagrams from any other address are dropped and
// counted, so no other host can divert the keep-alives and the clients' commands or feed the clients
// forged readings. Within that address, any process of the robot's host (of this host, for a robot
// on loopback) can send from another port, so the port is kept while the robot speaks from it:
// - the first source whose datagram holds a frame that passes the check is adopted (for a relay
//   waiting for the robot to speak first, the first address at all);
// - after that, a frame from another port of the robot's address only makes it a candidate. It is
//   adopted when the established port has gone quiet (no checked frame for kPortQuietMs, longer
//   than the link's keep-alive period, so it missed an answer) and the candidate answers a
//   keep-alive: while the established port is quiet, keep-alives go to the candidate too.
// What is read follows the same rule as what is sent: frames from a port not adopted are checked
// (the answer that adopts a port must be seen) but reach no client.
// A robot that restarts and speaks from a new port is so followed within a keep-alive period.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/udp_socket.h"
#include "relay/transport/transport.h"

namespace relay {

// Readiness codes of Poll.
inline constexpr int kPollReadable = 4;
inline constexpr int kPollWritable = 5;

class CUdpEndpoint : public Transport {
 public:
  CUdpEndpoint() = default;
  ~CUdpEndpoint() override = default;
  CUdpEndpoint(const CUdpEndpoint&) = delete;
  CUdpEndpoint& operator=(const CUdpEndpoint&) = delete;

  // `robot_address` in network byte order (0: wait for the robot to speak first, bound to `port`);
  // `port` in host order. False when the socket cannot be made or bound.
  bool Open(uint32_t robot_address, int port);
  void Close();
  void CloseLink() override { Close(); }
  bool IsOpen() const override { return socket_.IsOpen(); }
  bool OpenLink(const LinkTarget& target) override { return Open(target.ip_address, target.udp_port); }
  // One datagram to the robot's address: the bytes sent, -1 on an error (0 while no robot is known),
  // platform::kSendWouldBlock when the socket cannot take it now.
  int SendDatagram(const uint8_t* data, int length);
  int Receive(uint8_t* buffer, int size);
  // kind 1: may a datagram be received (4)? kind 2: may the socket send (5)? 0 when nothing became
  // ready within 1 ms, -1 when select failed, -2 on an exceptional condition, else the number of
  // descriptor sets the socket was reported in.
  int Poll(int kind);
  int PollReadable() { return Poll(1); }
  int PollWritable() { return Poll(2); }

  const platform::Ipv4Endpoint& robot_address() const { return robot_; }
  // The local port the socket is bound to (after a bind or the first send), 0 when unknown.
  int LocalPort() const;
  // How often the robot's port (or address) was adopted anew (the first known address does not
  // count), and how many datagrams came from other addresses and were dropped.
  uint64_t peer_changes() const { return peer_changes_; }
  uint64_t foreign_datagrams() const { return foreign_datagrams_; }
  // The last datagram received came from a source not yet adopted.
  bool HasPendingSource() const { return pending_; }
  // Longer than the link's keep-alive period (2 s): a port quiet this long missed an answer.
  static constexpr uint32_t kPortQuietMs = 2500;

  // One datagram waiting (from the batch the last read took, or a new batch): its bytes, cut to
  // `max`; 0 when none is waiting.
  int ReadAvailable(uint8_t* buffer, int max) override;
  bool Emptied() const override { return emptied_ && batch_next_ == batch_count_; }
  platform::WaitHandle WaitHandle() const override { return socket_.wait_handle(); }
  bool TakesWhileWaiting() const override { return true; }
  int WaitAndTake(uint32_t limit_ms) override;
  void StopWaiting() override { socket_.StopWaiting(); }
  LinkStatus Send(const uint8_t* bytes, int count) override;
  // A frame from the last datagram passed the check: its source becomes the robot's address.
  bool PeerPending() const override { return pending_; }
  FrameOrigin FrameAccepted(uint8_t data_type) override;
  bool SourceChanged() const override { return source_changed_; }
  uint64_t DroppedForeign() const override { return foreign_datagrams_; }

 private:
  platform::UdpSocket socket_;
  // The datagrams one read took (ReadAvailable hands them out one at a time) and whether that read
  // left the socket empty. The reading thread's alone.
  static constexpr std::size_t kBatchDatagrams = 16;
  static constexpr std::size_t kDatagramRoom = 4096;
  std::vector<uint8_t> batch_bytes_;
  platform::Datagram batch_[kBatchDatagrams];
  std::size_t batch_count_ = 0;
  std::size_t batch_next_ = 0;
  bool emptied_ = false;
  // Gives the batch its buffers, once.
  void MakeBatch();
  // Takes note of a datagram's source: false when it comes from another host than the robot's (it
  // is dropped and counted).
  bool Received(const platform::Ipv4Endpoint& from);
  platform::Ipv4Endpoint robot_;
  uint32_t trusted_ip_ = 0;  // network order; 0 until the robot's address is known
  platform::Ipv4Endpoint pending_source_;
  bool pending_ = false;                // the datagram last read came from a source other than robot_
  platform::Ipv4Endpoint last_source_;  // of the datagram read before it
  bool source_changed_ = false;
  bool established_ = false;  // a checked frame came from robot_ since the open
  // When a checked frame last came from the established port: written by the reading thread, read
  // by senders under the link lock. Relaxed: a tick, ordering nothing else.
  std::atomic<uint32_t> last_heard_{0};
  platform::Ipv4Endpoint candidate_;  // another port of the robot's address that sent a checked frame
  bool has_candidate_ = false;
  bool probed_ = false;  // a keep-alive went to the candidate since it became one
  void Adopt(const platform::Ipv4Endpoint& source);
  bool Quiet() const;
  uint64_t peer_changes_ = 0;
  uint64_t foreign_datagrams_ = 0;
};

using platform::ParseIpv4;

}  // namespace relay
