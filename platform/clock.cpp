#include "platform/clock.h"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace platform {
namespace {

double ScaleFromEnvironment() {
  return ParseTimeScale(std::getenv("TREVASK_TIME_SCALE"));
}

// Read by every thread on every tick and sleep; written once at start-up (or by a test before it
// starts threads). Relaxed is enough: the value is a plain setting, it guards no other data.
std::atomic<double>& ScaleCell() {
  static std::atomic<double> scale{ScaleFromEnvironment()};
  return scale;
}

double MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1.0e6;
}

}  // namespace

double ParseTimeScale(const char* text) {
  if (text == nullptr || *text == '\0') return 1.0;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || !std::isfinite(v) || v <= 0.0) return 1.0;
  return v;
}

double TimeScale() {
  return ScaleCell().load(std::memory_order_relaxed);
}

void SetTimeScale(double scale) {
  if (scale > 0.0 && std::isfinite(scale)) ScaleCell().store(scale, std::memory_order_relaxed);
}

double MonotonicSeconds() {
  return MonotonicMs() / 1000.0;
}

uint32_t TickCount() {
  double scaled = MonotonicMs() / TimeScale();
  return static_cast<uint32_t>(static_cast<uint64_t>(std::fmod(scaled, 18446744073709551616.0)));
}

void Sleep(uint32_t ms) {
  double real_ns = static_cast<double>(ms) * TimeScale() * 1.0e6;
  timespec req{};
  req.tv_sec = static_cast<time_t>(real_ns / 1.0e9);
  req.tv_nsec = static_cast<long>(std::fmod(real_ns, 1.0e9));
  if (ms == 0) req.tv_nsec = 0;
  timespec rem{};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace platform
