#include "platform/service_manager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

// Read by any thread, written once; the flag only keeps READY=1 from being sent twice.
std::atomic<bool> g_ready_sent{false};

void Send(const std::string& message) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@') ||
      std::strlen(path) >= sizeof(sockaddr_un::sun_path))
    return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(path);
  std::memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  [[maybe_unused]] const ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                                                 reinterpret_cast<const sockaddr*>(&address), size);
  ::close(fd);
}

}  // namespace

void NotifyReady() {
  if (!g_ready_sent.exchange(true)) Send("READY=1");
}

void NotifyStatus(const std::string& text) {
  Send("STATUS=" + text.substr(0, text.find('\n')));
}

void NotifyStopping() {
  Send("STOPPING=1");
}

}  // namespace platform
