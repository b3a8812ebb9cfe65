// Thread start with a status return. A Thread joins in its destructor, so an owner that is torn
// down never leaves a thread running on its freed members.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

class Thread {
 public:
  Thread() = default;
  ~Thread() { Join(); }
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  bool Running() const { return started_; }
  // Waits for the thread to end; does nothing when none was started.
  void Join();

 private:
  friend bool StartThread(std::function<void()> body, Thread& out);
  uintptr_t handle_ = 0;  // the system's thread handle
  bool started_ = false;
};

// Starts `body` on a new thread and hands its handle to `out` (joining whatever `out` held first).
// Returns false when the system refused to create the thread.
bool StartThread(std::function<void()> body, Thread& out);

}  // namespace platform
