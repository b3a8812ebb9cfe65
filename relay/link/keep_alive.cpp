#include "relay/link/keep_alive.h"

#include "platform/clock.h"

namespace relay {

KeepAliveStep KeepAlive::Tick(uint32_t now, bool uploading) {
  KeepAliveStep step;
  if (due_) {
    const bool passed = !deadline_set_ || platform::TickAfter(now, deadline_);
    step.send_pair = passed && !uploading;
  } else if (!uploading && platform::TickAfter(now, deadline_ + kAnswerWindowMs)) {
    // A signed distance: an answer may just have moved the deadline into the future.
    ++missed_;
    due_ = true;
    step.missed = true;
  }
  step.missed_count = missed_;
  if (missed_ >= kMissedForLoss) {
    step.lost = true;
    missed_ = 0;
  }
  return step;
}

void KeepAlive::Sent(uint32_t now) {
  deadline_ = now;
  deadline_set_ = true;
  sent_at_ = now;
  due_ = false;
}

uint32_t KeepAlive::NextAction(uint32_t now) const {
  if (due_ && !deadline_set_) return now;
  // Tick acts once the tick is past the deadline (or the answer window after it).
  const uint32_t at = (due_ ? deadline_ : deadline_ + kAnswerWindowMs) + 1;
  return platform::TickAfter(at, now) ? at : now;
}

bool KeepAlive::OnAnswer(uint32_t now, uint32_t& round_trip_ms) {
  if (due_) return false;  // nothing awaited: ignored, not acknowledged
  round_trip_ms = platform::TickElapsed(now, sent_at_);
  deadline_ = now + kAnswerWindowMs;
  missed_ = 0;
  due_ = true;
  return true;
}

}  // namespace relay
