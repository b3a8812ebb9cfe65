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
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    peer_ = from;
    have_peer_ = true;
    return static_cast<int>(n);
  }

  bool Send(const uint8_t* bytes, std::size_t count) override {
    if (!have_peer_) return false;
    return ::sendto(fd_, bytes, count, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&peer_),
                    sizeof peer_) == static_cast<ssize_t>(count);
  }

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
};

}  // namespace

std::unique_ptr<Wire> OpenUdpWire(const std::string& address_port, std::string& error) {
  std::size_t colon = address_port.rfind(':');
  if (colon == std::string::npos) {
    error = "'" + address_port + "' is not ADDRESS:PORT";
    return nullptr;
  }
  std::string address = address_port.substr(0, colon);
  char* end = nullptr;
  long port = std::strtol(address_port.c_str() + colon + 1, &end, 10);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (*end != '\0' || port < 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    error = "'" + address_port + "' is not ADDRESS:PORT with an IPv4 address";
    return nullptr;
  }
  local.sin_port = htons(static_cast<uint16_t>(port));
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    error = address_port + ": " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<UdpWire>(fd);
}

}  // namespace sim
