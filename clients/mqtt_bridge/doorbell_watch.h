// Hears the robot's doorbells on a thread of its own and turns each ring into a wake-up of a Waker,
// so that the bridge's one thread can wait on the broker's socket and the robot's rings at once.
// The thread only sleeps in the system on the words it is handed; the control is never touched
// there.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/doorbell.h"
#include "platform/thread.h"
#include "platform/waiting.h"

namespace mqtt_bridge {

class CDoorbellWatch {
 public:
  CDoorbellWatch() = default;
  ~CDoorbellWatch() { Stop(); }
  CDoorbellWatch(const CDoorbellWatch&) = delete;
  CDoorbellWatch& operator=(const CDoorbellWatch&) = delete;

  bool Start();
  void Stop();
  // The words to wait on from now (as the host armed them); the watch's thread waits on them, and on
  // nothing older, until one rings or `limit_ms` passes, holding off first as the host's `pacer`
  // says (after wakes that brought the bridge nothing).
  void Watch(const std::vector<platform::Doorbell>& bells, uint32_t limit_ms,
             const platform::DoorbellPacer& pacer = {});
  platform::Waker& waker() { return waker_; }

 private:
  void Body();

  platform::Waker waker_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<platform::Doorbell> bells_;
  uint32_t limit_ms_ = 0;
  platform::DoorbellPacer pacer_;
  uint64_t generation_ = 0;
  bool stopping_ = false;
  // Rung to end a wait early: for new words to watch, or to stop. Changed under the mutex; the
  // system compares it with what the waiting thread saw, so a ring is never missed.
  uint32_t interrupt_ = 0;
  platform::Thread thread_;
};

}  // namespace mqtt_bridge
