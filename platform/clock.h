// The one clock of the system: a 32-bit millisecond tick, sleeps, and the time scale.
//
// Every wait and deadline of the relay, the control and the simulated robot goes through here. The
// process-wide time scale (TREVASK_TIME_SCALE, default 1) shrinks real time: at 0.1 a Sleep(2000)
// sleeps 200 ms of wall time and TickCount() advances ten times faster, so code written with the
// link's real constants (2 s keep-alive, 5 s close) runs unchanged in fast tests.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds on the monotonic clock, scaled, truncated to 32 bits. Wraps after about 49.7 days
// (scaled), so compare ticks only with the helpers below.
uint32_t TickCount();

// True when tick `a` lies after tick `b`, treating the difference as a signed 32-bit distance.
inline bool TickAfter(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) > 0;
}

// Milliseconds from `since` to `now`, as unsigned wrap-around arithmetic gives it.
inline uint32_t TickElapsed(uint32_t now, uint32_t since) {
  return now - since;
}

// Seconds on the monotonic clock, unscaled: the time at which something happened, for people and for
// other programs on this machine to compare with their own monotonic clock (Python's time.monotonic).
double MonotonicSeconds();

// Sleeps for `ms` scaled milliseconds. Sleep(0) yields.
void Sleep(uint32_t ms);
// Sleeps for `ms` scaled milliseconds, fractions included (a hold shorter than the tick).
void SleepMilliseconds(double ms);

// The scale in force (greater than 0).
double TimeScale();

// Sets the scale for this process, overriding the environment. Values <= 0 are ignored.
void SetTimeScale(double scale);

// Parses a TREVASK_TIME_SCALE text; returns 1 for null, empty, unparsable or non-positive text.
double ParseTimeScale(const char* text);

}  // namespace platform
