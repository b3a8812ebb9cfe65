// What the two sides of ChildProcess share: moving the child from one owner to another.
#include "platform/child_process.h"

#include <utility>

namespace platform {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : native_(std::exchange(other.native_, 0)), id_(std::exchange(other.id_, 0)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Stop();
    native_ = std::exchange(other.native_, 0);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

}  // namespace platform
