// The moves of the platform's owning objects, the same on every system: what each owns is given
// up by the source, and the target lets go of its own first.
#include <utility>

#include "platform/shared_memory.h"
#include "platform/thread.h"

namespace platform {

SharedView::SharedView(SharedView&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      native_(std::exchange(other.native_, nullptr)) {}

SharedView& SharedView::operator=(SharedView&& other) noexcept {
  if (this != &other) {
    Reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    native_ = std::exchange(other.native_, nullptr);
  }
  return *this;
}

Thread::Thread(Thread&& other) noexcept : handle_(other.handle_), started_(other.started_) {
  other.started_ = false;
}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    Join();
    handle_ = other.handle_;
    started_ = std::exchange(other.started_, false);
  }
  return *this;
}

}  // namespace platform
