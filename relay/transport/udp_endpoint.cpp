#include "relay/transport/udp_endpoint.h"

#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "platform/clock.h"

namespace relay {

CUdpEndpoint::~CUdpEndpoint() {
  if (socket_ >= 0) ::close(socket_);
}

bool CUdpEndpoint::Open(uint32_t robot_address, int port) {
  if (socket_ >= 0) Close();
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) return false;
  robot_ = sockaddr_in{};
  robot_.sin_family = AF_INET;
  robot_.sin_addr.s_addr = robot_address;
  robot_.sin_port = htons(static_cast<uint16_t>(port));
  trusted_ip_ = robot_address;
  pending_ = false;
  established_ = false;
  has_candidate_ = false;
  probed_ = false;
  if (robot_address != 0) return true;
  if (::bind(socket_, reinterpret_cast<const sockaddr*>(&robot_), sizeof robot_) == 0) return true;
  Close();
  return false;
}

void CUdpEndpoint::Close() {
  if (socket_ < 0) return;
  ::shutdown(socket_, SHUT_RDWR);
  ::close(socket_);
  socket_ = -1;
}

int CUdpEndpoint::SendDatagram(const uint8_t* data, int length) {
  if (robot_.sin_addr.s_addr == 0 || length <= 0 || socket_ < 0) return 0;
  int sent = 0;
  while (sent < length) {
    ssize_t n = ::sendto(socket_, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&robot_), sizeof robot_);
    if (n <= 0) break;
    sent += static_cast<int>(n);
  }
  return sent;
}

int CUdpEndpoint::Receive(uint8_t* buffer, int size) {
  if (socket_ < 0 || size < 0) return -1;
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  ssize_t n = ::recvfrom(socket_, buffer, static_cast<size_t>(size), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n < 0) return -1;
  pending_ = false;
  if (from_len < sizeof(sockaddr_in) || from.sin_family != AF_INET ||
      (trusted_ip_ != 0 && from.sin_addr.s_addr != trusted_ip_)) {
    ++foreign_datagrams_;  // not the robot: never read, never answered
    return 0;
  }
  if (from.sin_addr.s_addr != robot_.sin_addr.s_addr || from.sin_port != robot_.sin_port) {
    pending_source_ = from;
    pending_ = true;
  }
  return static_cast<int>(n);
}

void CUdpEndpoint::Adopt(const sockaddr_in& source) {
  // The robot's port may change (its module restarted): the relay follows it, and counts it so a
  // person can see it in the statistics.
  if (robot_.sin_addr.s_addr != 0) ++peer_changes_;
  robot_.sin_family = AF_INET;
  robot_.sin_port = source.sin_port;
  robot_.sin_addr = source.sin_addr;
  trusted_ip_ = source.sin_addr.s_addr;
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
  if (socket_ < 0 || socket_ >= FD_SETSIZE) return -1;
  fd_set read_set, write_set, except_set;
  FD_ZERO(&read_set);
  FD_ZERO(&write_set);
  FD_ZERO(&except_set);
  FD_SET(socket_, &read_set);
  FD_SET(socket_, &write_set);
  FD_SET(socket_, &except_set);
  timeval timeout{0, 1000};
  int result = ::select(socket_ + 1, &read_set, &write_set, &except_set, &timeout);
  if (result < 0) return -1;
  if (result == 0) return 0;
  if (kind == 1 && FD_ISSET(socket_, &read_set)) return kPollReadable;
  if (kind == 2 && FD_ISSET(socket_, &write_set)) return kPollWritable;
  if (FD_ISSET(socket_, &except_set)) return -2;
  return result;
}

int CUdpEndpoint::LocalPort() const {
  if (socket_ < 0) return 0;
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
  return ntohs(local.sin_port);
}

int CUdpEndpoint::ReadAvailable(uint8_t* buffer, int max) {
  if (PollReadable() != kPollReadable) return 0;
  return Receive(buffer, max);
}

SendResult CUdpEndpoint::Send(const uint8_t* bytes, int count) {
  // Not writable within 1 ms: the datagram is dropped (a later keep-alive or packet follows it).
  if (PollWritable() != kPollWritable) return SendResult::kNotReady;
  // While the established port is quiet, a keep-alive asks the candidate too; nothing else goes to a
  // port that has not answered one.
  if (has_candidate_ && count > static_cast<int>(exchange::kOffDataType) &&
      bytes[exchange::kOffDataType] == exchange::kTypeLinkStatus && Quiet()) {
    ::sendto(socket_, bytes, static_cast<size_t>(count), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&candidate_), sizeof candidate_);
    probed_ = true;
  }
  return SendDatagram(bytes, count) == count ? SendResult::kSent : SendResult::kFailed;
}

bool CUdpEndpoint::FrameAccepted(uint8_t data_type) {
  if (!pending_) {
    if (robot_.sin_addr.s_addr != 0) {
      established_ = true;
      last_heard_.store(platform::TickCount(), std::memory_order_relaxed);
    }
    return false;
  }
  pending_ = false;
  const uint64_t before = peer_changes_;
  if (!established_) {
    Adopt(pending_source_);  // the robot's first word
  } else {
    const bool same_candidate = has_candidate_ && candidate_.sin_port == pending_source_.sin_port &&
                                candidate_.sin_addr.s_addr == pending_source_.sin_addr.s_addr;
    if (!same_candidate) {
      candidate_ = pending_source_;
      has_candidate_ = true;
      probed_ = false;
    } else if (probed_ && data_type == exchange::kTypeLinkStatus && Quiet()) {
      Adopt(candidate_);  // the old port went quiet and this one answered a keep-alive sent to it
    }
  }
  return peer_changes_ != before;
}

bool ParseIpv4(const char* text, uint32_t& network_order) {
  in_addr a{};
  if (text == nullptr || ::inet_pton(AF_INET, text, &a) != 1) return false;
  network_order = a.s_addr;
  return true;
}

}  // namespace relay
