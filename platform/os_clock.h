// What the clock needs from the system: a monotonic count of real milliseconds and a real sleep.
// Each system's side of the platform defines these; the scale is applied above them.
#pragma once

namespace platform::os {

double MonotonicMs();
// Sleeps `real_ms` milliseconds of wall time at least (0 yields).
void SleepRealMs(double real_ms);

}  // namespace platform::os
