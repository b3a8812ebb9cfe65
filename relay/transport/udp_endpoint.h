// The Wi-Fi link: one IPv4 UDP socket and the robot's address. Every datagram received replaces the
// robot address with its source, so the relay always answers whoever spoke last.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "relay/transport/transport.h"

namespace relay {

// Readiness codes of Poll.
inline constexpr int kPollReadable = 4;
inline constexpr int kPollWritable = 5;

class CUdpEndpoint : public Transport {
 public:
  CUdpEndpoint() = default;
  ~CUdpEndpoint() override;
  CUdpEndpoint(const CUdpEndpoint&) = delete;
  CUdpEndpoint& operator=(const CUdpEndpoint&) = delete;

  // `robot_address` in network byte order (0: wait for the robot to speak first, bound to `port`);
  // `port` in host order. 1 on success, 0 on failure.
  int Open(uint32_t robot_address, int port);
  void Close();
  bool IsOpen() const { return socket_ >= 0; }
  int Send(const uint8_t* data, int length);
  int Receive(uint8_t* buffer, int size);
  // kind 1: may a datagram be received (4)? kind 2: may the socket send (5)? 0 when nothing became
  // ready within 1 ms, -1 when select failed, -2 on an exceptional condition, else the number of
  // descriptor sets the socket was reported in.
  int Poll(int kind);
  int PollReadable() { return Poll(1); }
  int PollWritable() { return Poll(2); }

  const sockaddr_in& robot_address() const { return robot_; }
  // The local port the socket is bound to (after a bind or the first send), 0 when unknown.
  int LocalPort() const;
  // How often a datagram came from another address than the one the robot had (the first known
  // address does not count).
  uint64_t peer_changes() const { return peer_changes_; }

  int ReadAvailable(uint8_t* buffer, int max) override;
  bool SendFrameBytes(const uint8_t* bytes, int count) override;

 private:
  int socket_ = -1;
  sockaddr_in robot_{};
  uint64_t peer_changes_ = 0;
};

// Parses a dotted IPv4 address into network byte order. False for anything else.
bool ParseIpv4(const char* text, uint32_t& network_order);

}  // namespace relay
