// Waiting in tests: on the state a test then checks, never for a while; and the time scale set for
// one test and given back at its end.
#pragma once

#include <functional>

#include "platform/clock.h"

namespace testing_support {

// Polls `done` until it holds or `limit_ms` of wall time have passed (the limit is real time: a
// slower machine or build only makes the wait longer, never the check weaker). True when it held.
inline bool WaitUntil(const std::function<bool()>& done, int limit_ms = 10000) {
  const double end = platform::MonotonicSeconds() + limit_ms / 1000.0;
  while (platform::MonotonicSeconds() < end) {
    if (done()) return true;
    platform::SleepMilliseconds(1.0 / platform::TimeScale());  // the poll's pace: a real millisecond
  }
  return done();
}

// Sets the process's time scale for a scope and restores the one it found, which the run chose
// (TREVASK_TIME_SCALE: smaller on this machine, larger under an emulator).
class ScopedTimeScale {
 public:
  explicit ScopedTimeScale(double scale) : found_(platform::TimeScale()) { platform::SetTimeScale(scale); }
  ~ScopedTimeScale() { platform::SetTimeScale(found_); }
  ScopedTimeScale(const ScopedTimeScale&) = delete;
  ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;

 private:
  const double found_;
};

}  // namespace testing_support
