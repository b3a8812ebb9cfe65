#include "platform/waiting.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

Waker::Waker() : handle_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Waker::~Waker() {
  if (valid()) ::close(static_cast<int>(handle_));
}

void Waker::Wake() {
  const uint64_t one = 1;
  if (valid()) [[maybe_unused]]
    const ssize_t written = ::write(static_cast<int>(handle_), &one, sizeof one);
}

void Waker::Drain() {
  uint64_t count = 0;
  if (valid()) [[maybe_unused]]
    const ssize_t r = ::read(static_cast<int>(handle_), &count, sizeof count);
}

WaitResult WaitForInputOrWake(WaitHandle line, const Waker& waker, int limit_ms) {
  pollfd fds[2] = {{static_cast<int>(line), POLLIN, 0}, {static_cast<int>(waker.handle()), POLLIN, 0}};
  const int r = ::poll(fds, 2, limit_ms);
  if (r < 0) return WaitResult::kFailed;
  if (r == 0) return WaitResult::kTimedOut;
  if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return WaitResult::kHungUp;
  if ((fds[0].revents & POLLIN) != 0) return WaitResult::kInput;
  return WaitResult::kWoken;
}

}  // namespace platform
