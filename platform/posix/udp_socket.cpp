#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "platform/clock.h"

namespace platform {
namespace {

sockaddr_in ToSockaddr(const Ipv4Endpoint& e) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = e.address;
  a.sin_port = htons(e.port);
  return a;
}

// Receives up to `count` datagrams in one call: how many, 0 when none (the wait ran out, or the
// receiving side was shut down), -1 on an error.
int ReceiveBatch(int fd, Datagram* datagrams, std::size_t count, int flags) {
  constexpr std::size_t kMost = 64;
  if (count > kMost) count = kMost;
  mmsghdr messages[kMost];
  iovec parts[kMost];
  sockaddr_in sources[kMost];
  for (std::size_t i = 0; i < count; ++i) {
    parts[i] = iovec{datagrams[i].buffer, datagrams[i].room};
    sources[i] = sockaddr_in{};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &sources[i];
    messages[i].msg_hdr.msg_namelen = sizeof sources[i];
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  const int n = ::recvmmsg(fd, messages, static_cast<unsigned>(count), flags, nullptr);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
  int got = 0;
  for (; got < n; ++got) {
    // Every datagram has a source; a receive that ended because the receiving side was shut down
    // gives an entry without one, which is no datagram (nor a foreign one to count).
    if (messages[got].msg_hdr.msg_namelen == 0) break;
    const sockaddr_in& a = sources[got];
    datagrams[got].length = messages[got].msg_len;
    datagrams[got].from = messages[got].msg_hdr.msg_namelen >= sizeof a && a.sin_family == AF_INET
                              ? Ipv4Endpoint{a.sin_addr.s_addr, ntohs(a.sin_port)}
                              : Ipv4Endpoint{};
  }
  return got;
}

}  // namespace

bool UdpSocket::Open() {
  Close();
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  socket_ = fd;
  wait_limit_us_ = -1;  // a new socket waits without limit until it is given one
  return true;
}

bool UdpSocket::Bind(const Ipv4Endpoint& local) {
  const sockaddr_in a = ToSockaddr(local);
  return IsOpen() && ::bind(static_cast<int>(socket_), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

void UdpSocket::Close() {
  if (!IsOpen()) return;
  ::shutdown(static_cast<int>(socket_), SHUT_RDWR);
  ::close(static_cast<int>(socket_));
  socket_ = kNoWaitHandle;
}

int UdpSocket::SendTo(const uint8_t* bytes, std::size_t count, const Ipv4Endpoint& to) {
  if (!IsOpen()) return -1;
  const sockaddr_in a = ToSockaddr(to);
  const ssize_t n = ::sendto(static_cast<int>(socket_), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT,
                             reinterpret_cast<const sockaddr*>(&a), sizeof a);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kSendWouldBlock : -1;
  return static_cast<int>(n);
}

int UdpSocket::ReceiveFrom(uint8_t* buffer, std::size_t room, Ipv4Endpoint& from) {
  if (!IsOpen()) return -1;
  sockaddr_in a{};
  socklen_t length = sizeof a;
  const ssize_t n = ::recvfrom(static_cast<int>(socket_), buffer, room, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&a), &length);
  if (n < 0) return -1;
  // Only IPv4 sources are told apart; anything else reads as no address at all.
  from = length >= sizeof a && a.sin_family == AF_INET ? Ipv4Endpoint{a.sin_addr.s_addr, ntohs(a.sin_port)}
                                                       : Ipv4Endpoint{};
  return static_cast<int>(n);
}

int UdpSocket::ReceiveMany(Datagram* datagrams, std::size_t count) {
  // One call takes every datagram waiting (up to `count`); none waiting is no error.
  return IsOpen() ? ReceiveBatch(static_cast<int>(socket_), datagrams, count, MSG_DONTWAIT) : -1;
}

int UdpSocket::ReceiveManyWaiting(Datagram* datagrams, std::size_t count, uint32_t limit_ms) {
  if (!IsOpen()) return -1;
  // The limit is the socket's receive time-out, given again only when it changed: the wait and the
  // read stay one system call. A zero time-out would wait for ever, so it is a microsecond at least.
  const double real_us = std::ceil(static_cast<double>(limit_ms) * TimeScale() * 1000.0);
  const int64_t limit_us = real_us < 1.0 ? 1 : static_cast<int64_t>(real_us);
  if (limit_us != wait_limit_us_) {
    const timeval timeout{static_cast<time_t>(limit_us / 1000000),
                          static_cast<suseconds_t>(limit_us % 1000000)};
    if (::setsockopt(static_cast<int>(socket_), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
      return -1;
    wait_limit_us_ = limit_us;
  }
  return ReceiveBatch(static_cast<int>(socket_), datagrams, count, MSG_WAITFORONE);
}

void UdpSocket::StopWaiting() {
  // Shutting down the receiving side wakes a receive blocked on the socket, and every later one
  // returns at once without a datagram (ReceiveBatch tells that apart), while the datagrams already
  // queued can still be read. Linux does so even for a socket that is not connected, though it
  // answers ENOTCONN. Only a new socket waits again: the link opens one at every connect.
  if (IsOpen()) ::shutdown(static_cast<int>(socket_), SHUT_RD);
}

int UdpSocket::Look(uint32_t limit_us, SocketReadiness& ready) const {
  ready = SocketReadiness{};
  const int fd = static_cast<int>(socket_);
  if (!IsOpen() || fd >= FD_SETSIZE) return -1;
  fd_set read_set, write_set, except_set;
  FD_ZERO(&read_set);
  FD_ZERO(&write_set);
  FD_ZERO(&except_set);
  FD_SET(fd, &read_set);
  FD_SET(fd, &write_set);
  FD_SET(fd, &except_set);
  timeval timeout{static_cast<time_t>(limit_us / 1000000), static_cast<suseconds_t>(limit_us % 1000000)};
  const int result = ::select(fd + 1, &read_set, &write_set, &except_set, &timeout);
  if (result <= 0) return result < 0 ? -1 : 0;
  ready.readable = FD_ISSET(fd, &read_set);
  ready.writable = FD_ISSET(fd, &write_set);
  ready.exceptional = FD_ISSET(fd, &except_set);
  return result;
}

int UdpSocket::LocalPort() const {
  if (!IsOpen()) return 0;
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(static_cast<int>(socket_), reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
  return ntohs(local.sin_port);
}

WaitHandle UdpSocket::wait_handle() const {
  return socket_;
}

bool ParseIpv4(const char* text, uint32_t& network_order) {
  in_addr a{};
  if (text == nullptr || ::inet_pton(AF_INET, text, &a) != 1) return false;
  network_order = a.s_addr;
  return true;
}

uint32_t Ipv4Loopback() {
  return htonl(INADDR_LOOPBACK);
}

}  // namespace platform
