#include "platform/clock.h"

#include <atomic>
#include <cmath>
#include <cstdlib>

#include "platform/os_clock.h"

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
  return os::MonotonicMs() / 1000.0;
}

uint32_t TickCount() {
  double scaled = os::MonotonicMs() / TimeScale();
  return static_cast<uint32_t>(static_cast<uint64_t>(std::fmod(scaled, 18446744073709551616.0)));
}

void Sleep(uint32_t ms) {
  os::SleepRealMs(static_cast<double>(ms) * TimeScale());
}

void SleepMilliseconds(double ms) {
  if (ms > 0) os::SleepRealMs(ms * TimeScale());
}

}  // namespace platform
