// A host without a window: timers run on the caller's thread when the caller pumps the host, message
// boxes are handed to a callback (standard error by default) and count as closed at once.
//
//   host.Attach(ctl);
//   ctl.connectRobot("R1");
//   host.RunFor(5000);                      // or RunUntil(pred, limit), or ProcessDue() from your loop
//
// To fit into another event loop, call ProcessDue() whenever MillisecondsUntilDue() has passed.
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
  void MessageBox(HostedControl& control, const std::string& text) override;

  // Runs every timer that is due, once each; returns how many ran.
  int ProcessDue();
  // Milliseconds until the next timer is due (0 when one is due now), or -1 when none runs.
  int64_t MillisecondsUntilDue() const;
  // Pumps for `ms` milliseconds, sleeping between timers.
  void RunFor(uint32_t ms);
  // Pumps until `done` returns true or `limit_ms` has passed; returns done().
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
  std::vector<Timer> timers_;
  std::function<void(const std::string&)> message_handler_;
  uint64_t invalidations_ = 0;
  int running_ = 0;  // ProcessDue depth: timers are removed lazily while it runs
};

}  // namespace control
