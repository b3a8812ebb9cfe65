#include "platform/stop_signal.h"

#include <cmath>

#include "platform/clock.h"

namespace platform {
namespace {

// A waker the system gave no handle cannot end a wait: such waits look at the flag this often.
constexpr double kNoWakerLookRealMs = 20.0;

// Waits until `deadline` (scaled ticks) or until `waker` is set; `raised` (may be null) is looked at
// before each wait. True when the deadline passed.
bool WaitUntil(const Waker& waker, uint32_t deadline, const std::atomic<bool>* raised) {
  for (;;) {
    if (raised != nullptr && raised->load(std::memory_order_acquire)) return false;
    const uint32_t now = TickCount();
    if (!TickAfter(deadline, now)) return true;
    double real_ms = std::ceil(static_cast<double>(deadline - now) * TimeScale());
    if (!waker.valid() && real_ms > kNoWakerLookRealMs) real_ms = kNoWakerLookRealMs;
    const int limit = real_ms < 1.0 ? 1 : real_ms > 1.0e9 ? 1000000000 : static_cast<int>(real_ms);
    const WaitResult r = WaitForInputOrWake(kNoWaitHandle, waker, limit);
    if (r == WaitResult::kWoken) return false;
    if (r == WaitResult::kFailed) Sleep(1);  // never a busy loop, whatever the system said
  }
}

}  // namespace

void StopSignal::Raise() {
  raised_.store(true, std::memory_order_release);
  waker_.Wake();
}

void StopSignal::Clear() {
  raised_.store(false, std::memory_order_release);
  waker_.Drain();
}

bool StopSignal::Pause(uint32_t ms) const {
  return PauseUntil(TickCount() + ms);
}

bool StopSignal::PauseUntil(uint32_t deadline) const {
  return WaitUntil(waker_, deadline, &raised_);
}

bool PauseUnlessWoken(const Waker& waker, uint32_t ms) {
  return WaitUntil(waker, TickCount() + ms, nullptr);
}

}  // namespace platform
