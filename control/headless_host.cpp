#include "control/headless_host.h"

#include <algorithm>
#include <cstdio>

#include "control/control.h"
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

bool CHeadlessHost::MessageBox(HostedControl&, const std::string& text) {
  if (message_handler_) {
    message_handler_(text);
  } else {
    std::fprintf(stderr, "message: %s\n", text.c_str());
  }
  return true;
}

bool CHeadlessHost::Waits(const Timer& t) const {
  return !ticking_ && t.alive && t.control->HasDoorbells();
}

int CHeadlessHost::ProcessDue() {
  const uint32_t now = platform::TickCount();
  int ran = 0;
  // After a wait on Arm()'s doorbells: whether a word moved since they were read (the wait ended
  // early) is told to the pacer with whether this look found anything.
  const bool after_wait = !armed_.empty();
  const bool rang = after_wait && ArmedWordMoved();
  armed_.clear();
  ++running_;
  // Index loop: a handler may start timers (appending) or kill them (marking) while we run.
  for (std::size_t i = 0; i < timers_.size(); ++i) {
    if (!timers_[i].alive) continue;
    HostedControl* control = timers_[i].control;
    const bool waits = Waits(timers_[i]);
    if (waits) ran += control->TakeArrived();  // whatever arrived, due or not
    if (platform::TickAfter(timers_[i].next_due, now)) continue;
    timers_[i].next_due += timers_[i].period_ms;
    // A host that fell far behind does not fire a burst to catch up.
    if (platform::TickAfter(now, timers_[i].next_due)) timers_[i].next_due = now + timers_[i].period_ms;
    if (waits) continue;  // its tick is the doorbell's; the period only paces loops that do not wait
    int id = timers_[i].id;
    control->OnTimer(id);
    ++ran;
  }
  --running_;
  if (running_ == 0)
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [](const Timer& t) { return !t.alive; }),
                  timers_.end());
  if (after_wait) pacer_.Looked(rang, ran > 0);
  return ran;
}

int64_t CHeadlessHost::UntilDue(bool waiting_timers_too) const {
  const uint32_t now = platform::TickCount();
  int64_t best = -1;
  for (const Timer& t : timers_) {
    if (!t.alive || (!waiting_timers_too && Waits(t))) continue;
    int64_t wait = platform::TickAfter(t.next_due, now) ? static_cast<int64_t>(t.next_due - now) : 0;
    if (best < 0 || wait < best) best = wait;
  }
  return best;
}

int64_t CHeadlessHost::MillisecondsUntilDue() const {
  return UntilDue(true);
}

bool CHeadlessHost::ArmedWordMoved() {
  // The words are read afresh through the controls' open rings: a control closed or connected
  // elsewhere since Arm has unmapped the words Arm read, which are never touched.
  now_.clear();
  for (const Timer& t : timers_)
    if (Waits(t)) t.control->AddDoorbells(now_);
  for (const platform::Doorbell& then : armed_)
    for (const platform::Doorbell& bell : now_)
      if (bell.word == then.word && bell.seen != then.seen) return true;
  return false;
}

bool CHeadlessHost::Arm(std::vector<platform::Doorbell>& bells) {
  bells.clear();
  bool pending = false;
  for (const Timer& t : timers_)
    if (Waits(t)) pending = t.control->AddDoorbells(bells) || pending;
  if (pending)
    armed_.clear();
  else
    armed_ = bells;
  return !pending;
}

int64_t CHeadlessHost::MillisecondsUntilLook() const {
  const int64_t due = UntilDue(false);
  bool waiting = false;
  for (const Timer& t : timers_) waiting = waiting || Waits(t);
  if (!waiting) return due;
  const int64_t look = unheard_ ? kPollPeriodMs : heard_ ? kRungLookMs : kQuietLookMs;
  return due < 0 ? look : std::min(due, look);
}

int CHeadlessHost::Wait(uint32_t limit_ms) {
  const int64_t due = MillisecondsUntilLook();
  uint32_t nap = due < 0 ? limit_ms : static_cast<uint32_t>(std::min<int64_t>(due, limit_ms));
  platform::DoorbellWait result = platform::DoorbellWait::kRung;
  // Records there before the wait say nothing of whether their producer rings.
  const bool waited = Arm(bells_) && nap > 0;
  if (waited) result = pacer_.Wait(bells_.data(), bells_.size(), nap);
  if (result == platform::DoorbellWait::kInterrupted) return -1;
  const int done = ProcessDue();
  if (waited) NoteWait(result, done);
  return done;
}

void CHeadlessHost::NoteWait(platform::DoorbellWait result, int done) {
  if (result == platform::DoorbellWait::kRung) {
    unheard_ = false;
    heard_ = true;
  } else if (result == platform::DoorbellWait::kTimedOut && done > 0) {
    unheard_ = true;
    heard_ = false;
  }
}
void CHeadlessHost::RunFor(uint32_t ms) {
  RunUntil([] { return false; }, ms);
}

bool CHeadlessHost::RunUntil(const std::function<bool()>& done, uint32_t limit_ms) {
  const uint32_t start = platform::TickCount();
  ProcessDue();
  for (;;) {
    if (done()) return true;
    const uint32_t spent = platform::TickElapsed(platform::TickCount(), start);
    if (spent >= limit_ms) return done();
    // Nothing can change before the next timer is due or a ring is heard, so the host sleeps until
    // then; `done` is looked at again after every tick and every arrival.
    if (Wait(limit_ms - spent) < 0) return done();  // a signal: the caller's code should see it
  }
}

}  // namespace control
