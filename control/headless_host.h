// A host without a window: timers run on the caller's thread when the caller pumps the host, message
// boxes are handed to a callback (standard error by default) and count as closed at once.
//
//   host.Attach(ctl);
//   ctl.connectRobot("R1");
//   host.RunFor(5000);                      // or RunUntil(pred, limit), Wait(limit), ProcessDue()
//
// By default the host waits on the doorbells of its controls' rings and takes every record as it
// arrives, rather than one record per section every 30 ms: a record reaches its handler within a
// tenth of a millisecond and a stream of 100 records a second is not lapped. SetTicking(true) gives
// the 30 ms tick the windowed controls keep. To fit into another event loop, call ProcessDue()
// whenever MillisecondsUntilDue() has passed (that loop then polls at the tick's rate), or wait on
// Arm()'s doorbells on any thread and call ProcessDue() when the wait ends.
// Times are in the platform's (scaled) milliseconds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "control/host.h"

namespace control {

class CHeadlessHost : public ControlHost {
 public:
  CHeadlessHost() = default;
  ~CHeadlessHost() override = default;
  CHeadlessHost(const CHeadlessHost&) = delete;
  CHeadlessHost& operator=(const CHeadlessHost&) = delete;

  void SetTimer(HostedControl& control, int timer_id, uint32_t period_ms) override;
  void KillTimers(HostedControl& control) override;
  void Invalidate(HostedControl& control, bool erase_background) override;
  void UpdateNow(HostedControl& control) override;
  bool MessageBox(HostedControl& control, const std::string& text) override;

  // Runs every timer that is due, once each, and takes what arrived for waiting controls; returns
  // how many timers ran and records were taken.
  int ProcessDue();
  // Waits at most `limit_ms` for a record of a waiting control or a due timer, then does what
  // ProcessDue does; returns what it returns, or -1 when a signal ended the wait early.
  int Wait(uint32_t limit_ms);
  // The doorbells to wait on for this host's waiting controls, as they stand now: false when records
  // are there already (call ProcessDue instead of waiting). The wait itself may run on any thread,
  // through pacer().Wait: the next ProcessDue tells the pacer whether the words moved and brought
  // anything, so that a storm of empty wakes is met with holds (platform/doorbell.h).
  bool Arm(std::vector<platform::Doorbell>& bells);
  // How this host's waits hold off after wakes that brought nothing; a copy paces a wait on another
  // thread.
  const platform::DoorbellPacer& pacer() const { return pacer_; }
  // For loops that wait on Arm()'s doorbells: how long they may wait before calling ProcessDue (the
  // next timer that is not replaced by a doorbell, and at most a quiet look), -1 without timers.
  // Every loop asks here (C++, C and Python alike), so the quiet look has one rule.
  int64_t MillisecondsUntilLook() const;
  // Such a loop's wait on Arm()'s doorbells ended so (kRung, kTimedOut) and ProcessDue then did
  // `done`: a ring heard lengthens the quiet look to kRungLookMs; a time-out that found records means
  // a producer that does not ring, and waits stay as short as the tick until a ring is heard again.
  void NoteWait(platform::DoorbellWait result, int done);
  void SetTicking(bool ticking) { ticking_ = ticking; }
  bool ticking() const { return ticking_; }
  // Milliseconds until the next timer is due (0 when one is due now), or -1 when none runs.
  int64_t MillisecondsUntilDue() const;
  // Pumps for `ms` milliseconds, sleeping between timers and records.
  void RunFor(uint32_t ms);
  // Pumps until `done` returns true or `limit_ms` has passed (or a signal came); returns done().
  bool RunUntil(const std::function<bool()>& done, uint32_t limit_ms);

  void SetMessageHandler(std::function<void(const std::string&)> handler) {
    message_handler_ = std::move(handler);
  }
  uint64_t invalidations() const { return invalidations_; }

 private:
  struct Timer {
    HostedControl* control;
    int id;
    uint32_t period_ms;
    uint32_t next_due;
    bool alive;
  };
  // A timer the host replaces by waiting: the control's rings ring, so its tick is not needed.
  bool Waits(const Timer& t) const;
  int64_t UntilDue(bool waiting_timers_too) const;
  // Whether a word of the last Arm has moved since (read through the controls' rings as they are now).
  bool ArmedWordMoved();

  std::vector<Timer> timers_;
  std::vector<platform::Doorbell> bells_;
  // The doorbells of the last Arm that was not followed by ProcessDue yet, as they were read.
  std::vector<platform::Doorbell> armed_;
  std::vector<platform::Doorbell> now_;  // the same words as they stand, for ArmedWordMoved
  platform::DoorbellPacer pacer_;
  bool ticking_ = false;
  // Waits end within this even when every ring is quiet, until a ring has been heard: the host then
  // looks once, so that records of a producer that does not ring (a relay from before the doorbells)
  // are found soon.
  static constexpr int64_t kQuietLookMs = 200;
  // Once a ring has been heard, the producers ring: a quiet look only guards against one that stops,
  // and an idle program wakes once a second.
  static constexpr int64_t kRungLookMs = 1000;
  // Records found after a wait ran out: their producer does not ring, so waits stay as short as the
  // tick until a ring is heard again.
  bool unheard_ = false;
  bool heard_ = false;  // a wait has ended with a ring
  std::function<void(const std::string&)> message_handler_;
  uint64_t invalidations_ = 0;
  int running_ = 0;  // ProcessDue depth: timers are removed lazily while it runs
};

}  // namespace control
