#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/wire.h"

namespace sim {
namespace {

class UdpWire : public Wire {
 public:
  explicit UdpWire(int fd) : fd_(fd) {}
  ~UdpWire() override { ::close(fd_); }

  int Receive(uint8_t* buffer, std::size_t size) override {
    sockaddr_in from{};
    iovec part{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd_, &message, MSG_DONTWAIT);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
        std::memcpy(&dropped_in_, CMSG_DATA(c), sizeof dropped_in_);
    peer_ = from;
    have_peer_ = true;
    return static_cast<int>(n);
  }

  bool Send(const uint8_t* bytes, std::size_t count) override {
    if (!have_peer_) return false;
    const bool sent = ::sendto(fd_, bytes, count, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&peer_),
                               sizeof peer_) == static_cast<ssize_t>(count);
    if (!sent) ++dropped_out_;
    return sent;
  }

  uint64_t DroppedIn() const override { return dropped_in_; }

  int fd() const override { return fd_; }

  std::string Describe() const override {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len);
    char text[64];
    inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
    return std::string("udp ") + text + ":" + std::to_string(ntohs(local.sin_port));
  }

 private:
  int fd_;
  sockaddr_in peer_{};
  bool have_peer_ = false;
  uint32_t dropped_in_ = 0;  // the kernel's count of datagrams dropped on a full socket
};

}  // namespace

platform::Result OpenUdpWire(const std::string& address_port, std::unique_ptr<Wire>& out) {
  out.reset();
  std::size_t colon = address_port.rfind(':');
  if (colon == std::string::npos)
    return platform::Fail(platform::Status::kBadArgument, "'" + address_port + "' is not ADDRESS:PORT");
  std::string address = address_port.substr(0, colon);
  char* end = nullptr;
  long port = std::strtol(address_port.c_str() + colon + 1, &end, 10);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (*end != '\0' || port < 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    return platform::Fail(platform::Status::kBadArgument,
                          "'" + address_port + "' is not ADDRESS:PORT with an IPv4 address");
  }
  local.sin_port = htons(static_cast<uint16_t>(port));
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return platform::Fail(platform::Status::kStartFailed, std::string("socket: ") + std::strerror(errno));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    platform::Result failed =
        platform::Fail(platform::Status::kStartFailed, address_port + ": " + std::strerror(errno));
    ::close(fd);
    return failed;
  }
  // A roomy buffer, as a robot's network module has for bursts of commands; and the kernel's count of
  // datagrams it still had to drop, so that such losses are told apart from the link's.
  const int room = 4 << 20, on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  out = std::make_unique<UdpWire>(fd);
  return platform::Ok();
}

}  // namespace sim
