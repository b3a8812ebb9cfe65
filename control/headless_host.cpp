#include "control/headless_host.h"

#include <algorithm>
#include <cstdio>

#include "platform/clock.h"

namespace control {

void CHeadlessHost::SetTimer(HostedControl& control, int timer_id, uint32_t period_ms) {
  if (period_ms == 0) period_ms = 1;
  const uint32_t due = platform::TickCount() + period_ms;
  for (Timer& t : timers_) {
    if (t.alive && t.control == &control && t.id == timer_id) {
      t.period_ms = period_ms;
      t.next_due = due;
      return;
    }
  }
  timers_.push_back(Timer{&control, timer_id, period_ms, due, true});
}

void CHeadlessHost::KillTimers(HostedControl& control) {
  for (Timer& t : timers_)
    if (t.control == &control) t.alive = false;
  if (running_ == 0)
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [](const Timer& t) { return !t.alive; }),
                  timers_.end());
}

void CHeadlessHost::Invalidate(HostedControl&, bool) {
  ++invalidations_;
}

void CHeadlessHost::UpdateNow(HostedControl&) {}

void CHeadlessHost::MessageBox(HostedControl&, const std::string& text) {
  if (message_handler_) {
    message_handler_(text);
  } else {
    std::fprintf(stderr, "message: %s\n", text.c_str());
  }
}

int CHeadlessHost::ProcessDue() {
  const uint32_t now = platform::TickCount();
  int ran = 0;
  ++running_;
  // Index loop: a handler may start timers (appending) or kill them (marking) while we run.
  for (std::size_t i = 0; i < timers_.size(); ++i) {
    if (!timers_[i].alive || platform::TickAfter(timers_[i].next_due, now)) continue;
    timers_[i].next_due += timers_[i].period_ms;
    // A host that fell far behind does not fire a burst to catch up.
    if (platform::TickAfter(now, timers_[i].next_due)) timers_[i].next_due = now + timers_[i].period_ms;
    HostedControl* control = timers_[i].control;
    int id = timers_[i].id;
    control->OnTimer(id);
    ++ran;
  }
  --running_;
  if (running_ == 0)
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [](const Timer& t) { return !t.alive; }),
                  timers_.end());
  return ran;
}

int64_t CHeadlessHost::MillisecondsUntilDue() const {
  const uint32_t now = platform::TickCount();
  int64_t best = -1;
  for (const Timer& t : timers_) {
    if (!t.alive) continue;
    int64_t wait = platform::TickAfter(t.next_due, now) ? static_cast<int64_t>(t.next_due - now) : 0;
    if (best < 0 || wait < best) best = wait;
  }
  return best;
}

void CHeadlessHost::RunFor(uint32_t ms) {
  RunUntil([] { return false; }, ms);
}

bool CHeadlessHost::RunUntil(const std::function<bool()>& done, uint32_t limit_ms) {
  const uint32_t start = platform::TickCount();
  for (;;) {
    ProcessDue();
    if (done()) return true;
    const uint32_t spent = platform::TickElapsed(platform::TickCount(), start);
    if (spent >= limit_ms) return done();
    int64_t wait = MillisecondsUntilDue();
    uint32_t left = limit_ms - spent;
    uint32_t nap = wait < 0 ? left : static_cast<uint32_t>(std::min<int64_t>(wait, left));
    // Nothing can change before the next timer is due (events come from timers only), so the host
    // sleeps until then; `done` is looked at again after every tick.
    platform::Sleep(nap);
  }
}

}  // namespace control
