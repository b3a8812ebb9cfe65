#include <time.h>

#include <cerrno>
#include <cmath>

#include "platform/os_clock.h"

namespace platform::os {

double MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1.0e6;
}

void SleepRealMs(double real_ms) {
  const double real_ns = real_ms * 1.0e6;
  timespec req{};
  req.tv_sec = static_cast<time_t>(real_ns / 1.0e9);
  req.tv_nsec = static_cast<long>(std::fmod(real_ns, 1.0e9));
  timespec rem{};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace platform::os
