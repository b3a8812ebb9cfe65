// A stop that every waiting thread hears at once: a flag and a waker raised together. Pauses taken
// through it end early when the stop is raised, so a thread told to stop never sits out a pause
// first. Once raised it stays raised (and every later pause returns at once) until cleared.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/waiting.h"

namespace platform {

class StopSignal {
 public:
  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Callable from any thread.
  void Raise();
  // Called by the owner while no thread waits on the signal (before it starts the threads again).
  void Clear();
  bool Raised() const { return raised_.load(std::memory_order_acquire); }
  // Waits `ms` scaled milliseconds, or less when the stop is raised: true when the whole pause
  // passed, false when the stop cut it short (or was raised already).
  bool Pause(uint32_t ms) const;
  // As Pause, until scaled tick `deadline`.
  bool PauseUntil(uint32_t deadline) const;

 private:
  // Release on raise, acquire on reading: what the raising thread did before is seen by a thread
  // that finds the flag set.
  std::atomic<bool> raised_{false};
  Waker waker_;
};

// Waits `ms` scaled milliseconds, or less when `waker` is set: true when the whole pause passed.
// The wake is left set for the waiting thread's own loop to see.
bool PauseUnlessWoken(const Waker& waker, uint32_t ms);

}  // namespace platform
