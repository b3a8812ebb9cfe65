// One IPv4 UDP socket, as the Wi-Fi link asks it of the system: never blocking but in the one
// receive that waits, with a handle to wait on for datagrams. Addresses are in network byte order,
// ports in host order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/waiting.h"

namespace platform {

struct Ipv4Endpoint {
  uint32_t address = 0;  // network byte order
  uint16_t port = 0;     // host byte order
  bool operator==(const Ipv4Endpoint&) const = default;
};

// One datagram of a batch: the buffer it goes into, and what came.
struct Datagram {
  uint8_t* buffer = nullptr;
  std::size_t room = 0;
  std::size_t length = 0;  // as received, cut to the room
  Ipv4Endpoint from;
};

// SendTo's result when the socket's buffer cannot take the datagram now (nothing was sent).
inline constexpr int kSendWouldBlock = -2;

// What one look at a socket found.
struct SocketReadiness {
  bool readable = false;
  bool writable = false;
  bool exceptional = false;
};

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket() { Close(); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // A new socket, not bound yet (the first send binds it to a free port); false when the system
  // gives none.
  bool Open();
  bool Bind(const Ipv4Endpoint& local);
  void Close();
  bool IsOpen() const { return socket_ != kNoWaitHandle; }

  // Bytes sent, kSendWouldBlock, or -1 on an error. Never waits.
  int SendTo(const uint8_t* bytes, std::size_t count, const Ipv4Endpoint& to);
  // One datagram (cut to `room`), or -1 when none is waiting or on an error. Never waits.
  int ReceiveFrom(uint8_t* buffer, std::size_t room, Ipv4Endpoint& from);
  // The datagrams waiting now, at most `count`, each into its own buffer: how many (fewer than
  // `count`: none was left), 0 when none is waiting, -1 on an error. Never waits.
  int ReceiveMany(Datagram* datagrams, std::size_t count);
  // As ReceiveMany, but waits for the first datagram: at most `limit_ms` scaled milliseconds, until
  // StopWaiting, or until one comes, and then takes it with every other one waiting (at most
  // `count`) in the same call. 0 when none came or the wait was stopped, -1 on an error.
  int ReceiveManyWaiting(Datagram* datagrams, std::size_t count, uint32_t limit_ms);
  // Ends a ReceiveManyWaiting blocked on another thread at once, and makes every later one return at
  // once, until the socket is opened again; sends and ReceiveMany go on. Not while another thread
  // opens or closes the socket.
  void StopWaiting();
  // Looks for at most `limit_us` microseconds: -1 on an error, 0 when nothing became ready, else
  // the number of kinds of readiness found.
  int Look(uint32_t limit_us, SocketReadiness& ready) const;
  // The local port (after a bind or the first send), 0 when unknown.
  int LocalPort() const;
  // What to wait on for a datagram.
  WaitHandle wait_handle() const;

 private:
  WaitHandle socket_ = kNoWaitHandle;  // the system's socket
  // What a wait for a datagram waits on where the system cannot wait on the socket itself (an event
  // its arrival sets); kNoWaitHandle where it can.
  WaitHandle event_ = kNoWaitHandle;
  // The receive time limit the socket was last given, in real microseconds (-1: none yet): it is set
  // again only when the limit or the time scale changed. Where the wait is not the receive's own, a
  // flag StopWaiting raises instead (release; the waiter's acquire sees it with the set event).
  int64_t wait_limit_us_ = -1;
  std::atomic<bool> wait_stopped_{false};
};

// Parses a dotted IPv4 address into network byte order. False for anything else.
bool ParseIpv4(const char* text, uint32_t& network_order);
// 127.0.0.1 in network byte order.
uint32_t Ipv4Loopback();

}  // namespace platform
