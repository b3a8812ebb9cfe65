// Waiting for a line to have bytes, or for another thread to say "stop waiting".
//
// A WaitHandle is what the system waits on for a line, a pointer-sized value that only the system's
// side interprets (a descriptor on POSIX systems, an event handle on Windows). A Waker is a handle of that
// kind another thread can set: it stays set until the waiting side drains it, so a wake given before the wait
// begins is not lost.
#pragma once

#include <cstdint>

namespace platform {

using WaitHandle = intptr_t;
inline constexpr WaitHandle kNoWaitHandle = -1;

class Waker {
 public:
  Waker();
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  // False when the system gave no handle (then waits end by their time limit only).
  bool valid() const { return handle_ != kNoWaitHandle; }
  // Callable from any thread.
  void Wake();
  // Clears the wakes given so far.
  void Drain();
  WaitHandle handle() const { return handle_; }

 private:
  WaitHandle handle_ = kNoWaitHandle;
};

enum class WaitResult {
  kInput,     // the line has something
  kWoken,     // the waker was set
  kTimedOut,  // neither, within the limit
  kHungUp,    // the line's other end is gone: it stays "ready" without data
  kFailed,
};

// Waits at most `limit_ms` real milliseconds for `line` (kNoWaitHandle: for the waker alone) or
// `waker`.
WaitResult WaitForInputOrWake(WaitHandle line, const Waker& waker, int limit_ms);

}  // namespace platform
