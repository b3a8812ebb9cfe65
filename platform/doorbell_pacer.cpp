// The waiter's side of the doorbells that does not depend on the system: how long a waiter holds off
// after wakes that bring nothing.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "platform/clock.h"
#include "platform/doorbell.h"
#include "platform/doorbell_waiters.h"

namespace platform {

// Relaxed: a count for people and tests, ordering nothing.
std::atomic<uint64_t> stray_doorbell_wakes{0};

uint64_t StrayDoorbellWakes() {
  return stray_doorbell_wakes.load(std::memory_order_relaxed);
}

// Relaxed: a count for people and tests, ordering nothing.
std::atomic<uint64_t> doorbell_wake_calls{0};

void doorbell_waiters::CountWakeCall() {
  doorbell_wake_calls.fetch_add(1, std::memory_order_relaxed);
}

uint64_t DoorbellWakeCalls() {
  return doorbell_wake_calls.load(std::memory_order_relaxed);
}

void DoorbellPacer::Looked(bool rang, bool news) {
  if (news || !rang) {
    hold_ms_ = 0;  // real news, or a wait that ran its course: nothing storms
  } else {
    stray_doorbell_wakes.fetch_add(1, std::memory_order_relaxed);
    hold_ms_ = hold_ms_ == 0 ? kFirstHoldMs : std::min(hold_ms_ * 2, kLongestHoldMs);
  }
}

uint32_t DoorbellPacer::HoldOff(uint32_t limit_ms) const {
  if (hold_ms_ <= 0 || limit_ms == 0) return 0;
  const double hold = std::min(hold_ms_, static_cast<double>(limit_ms));
  SleepMilliseconds(hold);
  return std::min(limit_ms, static_cast<uint32_t>(std::ceil(hold)));
}

DoorbellWait DoorbellPacer::Wait(const Doorbell* bells, std::size_t count, uint32_t limit_ms) const {
  const uint32_t held = HoldOff(limit_ms);
  return WaitForDoorbells(bells, count, limit_ms - held);
}

}  // namespace platform
