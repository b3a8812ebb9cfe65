#include "platform/udp_socket.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
// clang-format on

#include <cmath>

#include "platform/clock.h"

namespace platform {
namespace {

// Winsock is started once for the process and left running until it ends.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET AsSocket(WaitHandle h) {
  return static_cast<SOCKET>(h);
}

sockaddr_in ToSockaddr(const Ipv4Endpoint& e) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = e.address;
  a.sin_port = htons(e.port);
  return a;
}

}  // namespace

bool UdpSocket::Open() {
  Close();
  if (!StartWinsock()) return false;
  const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return false;
  // A datagram to a port nobody listens on makes Windows fail the next receive with "connection
  // reset"; a UDP link has no connection to lose, so that report is turned off.
  BOOL report = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
  // The event a datagram's arrival sets; this also makes the socket non-blocking. Auto-reset: a
  // receive that leaves datagrams waiting sets it again.
  HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr || ::WSAEventSelect(s, event, FD_READ) != 0) {
    if (event != nullptr) ::CloseHandle(event);
    ::closesocket(s);
    return false;
  }
  socket_ = static_cast<WaitHandle>(s);
  event_ = reinterpret_cast<WaitHandle>(event);
  wait_stopped_.store(false, std::memory_order_relaxed);  // no other thread waits on a socket being opened
  return true;
}

bool UdpSocket::Bind(const Ipv4Endpoint& local) {
  const sockaddr_in a = ToSockaddr(local);
  return IsOpen() && ::bind(AsSocket(socket_), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

void UdpSocket::Close() {
  if (!IsOpen()) return;
  ::shutdown(AsSocket(socket_), SD_BOTH);
  ::closesocket(AsSocket(socket_));
  ::CloseHandle(reinterpret_cast<HANDLE>(event_));
  socket_ = event_ = kNoWaitHandle;
}

int UdpSocket::SendTo(const uint8_t* bytes, std::size_t count, const Ipv4Endpoint& to) {
  if (!IsOpen()) return -1;
  const sockaddr_in a = ToSockaddr(to);
  // The socket is non-blocking (WSAEventSelect): a full buffer is told, not waited out.
  const int n = ::sendto(AsSocket(socket_), reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0,
                         reinterpret_cast<const sockaddr*>(&a), sizeof a);
  if (n == SOCKET_ERROR) return ::WSAGetLastError() == WSAEWOULDBLOCK ? kSendWouldBlock : -1;
  return n;
}

int UdpSocket::ReceiveFrom(uint8_t* buffer, std::size_t room, Ipv4Endpoint& from) {
  if (!IsOpen()) return -1;
  sockaddr_in a{};
  int length = sizeof a;
  int n = ::recvfrom(AsSocket(socket_), reinterpret_cast<char*>(buffer), static_cast<int>(room), 0,
                     reinterpret_cast<sockaddr*>(&a), &length);
  // A datagram larger than the room is cut, as on other systems, rather than reported as an error.
  if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEMSGSIZE) n = static_cast<int>(room);
  if (n == SOCKET_ERROR) return -1;
  from = length >= static_cast<int>(sizeof a) && a.sin_family == AF_INET
             ? Ipv4Endpoint{a.sin_addr.s_addr, ntohs(a.sin_port)}
             : Ipv4Endpoint{};
  return n;
}

int UdpSocket::ReceiveMany(Datagram* datagrams, std::size_t count) {
  if (!IsOpen()) return -1;
  // Winsock has no batch receive: one call per datagram, until none is left.
  std::size_t got = 0;
  while (got < count) {
    Datagram& d = datagrams[got];
    sockaddr_in a{};
    int length = sizeof a;
    int n = ::recvfrom(AsSocket(socket_), reinterpret_cast<char*>(d.buffer), static_cast<int>(d.room), 0,
                       reinterpret_cast<sockaddr*>(&a), &length);
    if (n == SOCKET_ERROR) {
      const int why = ::WSAGetLastError();
      if (why == WSAEMSGSIZE) {
        n = static_cast<int>(d.room);  // cut, as on other systems
      } else {
        if (why == WSAEWOULDBLOCK || got > 0) break;
        return -1;
      }
    }
    d.length = static_cast<std::size_t>(n);
    d.from = length >= static_cast<int>(sizeof a) && a.sin_family == AF_INET
                 ? Ipv4Endpoint{a.sin_addr.s_addr, ntohs(a.sin_port)}
                 : Ipv4Endpoint{};
    ++got;
  }
  return static_cast<int>(got);
}

int UdpSocket::ReceiveManyWaiting(Datagram* datagrams, std::size_t count, uint32_t limit_ms) {
  if (!IsOpen()) return -1;
  // Winsock cannot wait in the receive: the wait is on the arrival event, then the read takes what
  // came. A stop sets the event and leaves its flag raised for every later wait.
  if (wait_stopped_.load(std::memory_order_acquire)) return 0;
  const double real_ms = std::ceil(static_cast<double>(limit_ms) * TimeScale());
  const DWORD r = ::WaitForSingleObject(reinterpret_cast<HANDLE>(event_), static_cast<DWORD>(real_ms));
  if (r == WAIT_FAILED) return -1;
  if (wait_stopped_.load(std::memory_order_acquire)) return 0;
  return ReceiveMany(datagrams, count);
}

void UdpSocket::StopWaiting() {
  if (!IsOpen()) return;
  wait_stopped_.store(true, std::memory_order_release);  // seen by the waiter the event wakes
  ::SetEvent(reinterpret_cast<HANDLE>(event_));
}

int UdpSocket::Look(uint32_t limit_us, SocketReadiness& ready) const {
  ready = SocketReadiness{};
  if (!IsOpen()) return -1;
  fd_set read_set, write_set, except_set;
  FD_ZERO(&read_set);
  FD_ZERO(&write_set);
  FD_ZERO(&except_set);
  FD_SET(AsSocket(socket_), &read_set);
  FD_SET(AsSocket(socket_), &write_set);
  FD_SET(AsSocket(socket_), &except_set);
  timeval timeout{static_cast<long>(limit_us / 1000000), static_cast<long>(limit_us % 1000000)};
  const int result = ::select(0, &read_set, &write_set, &except_set, &timeout);
  if (result == SOCKET_ERROR) return -1;
  if (result == 0) return 0;
  ready.readable = FD_ISSET(AsSocket(socket_), &read_set);
  ready.writable = FD_ISSET(AsSocket(socket_), &write_set);
  ready.exceptional = FD_ISSET(AsSocket(socket_), &except_set);
  return result;
}

int UdpSocket::LocalPort() const {
  if (!IsOpen()) return 0;
  sockaddr_in local{};
  int len = sizeof local;
  if (::getsockname(AsSocket(socket_), reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
  return ntohs(local.sin_port);
}

WaitHandle UdpSocket::wait_handle() const {
  return event_;
}

bool ParseIpv4(const char* text, uint32_t& network_order) {
  if (text == nullptr || !StartWinsock()) return false;
  in_addr a{};
  if (::inet_pton(AF_INET, text, &a) != 1) return false;
  network_order = a.s_addr;
  return true;
}

uint32_t Ipv4Loopback() {
  return htonl(INADDR_LOOPBACK);
}

}  // namespace platform
