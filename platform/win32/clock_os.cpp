#include <windows.h>

#include <cmath>

#include "platform/os_clock.h"

namespace platform::os {

double MonotonicMs() {
  static const double ticks_per_ms = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / ticks_per_ms;
}

void SleepRealMs(double real_ms) {
  // Sleep takes whole milliseconds; rounding up keeps every wait at least as long as asked.
  ::Sleep(static_cast<DWORD>(std::ceil(real_ms)));
}

}  // namespace platform::os
