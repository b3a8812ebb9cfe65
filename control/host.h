// What the control needs from the window it lives in: a repeating timer, invalidation and repaint,
// and modal message boxes. The headless host (pumped by the caller) and the Qt widget implement it.
// The Qt widget and the Windows control tick every 30 ms and take one record per section a tick;
// the headless host waits on the rings' doorbells instead and takes every record as it arrives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/doorbell.h"

namespace control {

class HostedControl {
 public:
  virtual ~HostedControl() = default;
  // A timer started through the host has fired.
  virtual void OnTimer(int timer_id) = 0;
  // For hosts that wait for records instead of ticking: whether the control has rings to wait on
  // (then its timer is replaced by their doorbells); the doorbells of those rings, appended to
  // `bells`, and whether records are there already, in which case the host takes them rather than
  // waiting.
  virtual bool HasDoorbells() const { return false; }
  virtual bool AddDoorbells(std::vector<platform::Doorbell>& bells) {
    static_cast<void>(bells);
    return false;
  }
  // Takes every record that has arrived, in order, firing each one's event; how many it took.
  virtual int TakeArrived() { return 0; }
};

class ControlHost {
 public:
  virtual ~ControlHost() = default;
  // Starts (or restarts) the repeating timer `timer_id` of `control` with the given period.
  virtual void SetTimer(HostedControl& control, int timer_id, uint32_t period_ms) = 0;
  // Forgets every timer of `control`; called when the control goes away or leaves the host.
  virtual void KillTimers(HostedControl& control) = 0;
  virtual void Invalidate(HostedControl& control, bool erase_background) = 0;
  // Repaints what is invalid now rather than at the next chance.
  virtual void UpdateNow(HostedControl& control) = 0;
  // Shows `text` with an OK button and returns when the user has closed it; false at once when the
  // host has nobody to show it to (then the control refuses the call with the text instead).
  virtual bool MessageBox(HostedControl& control, const std::string& text) = 0;
};

}  // namespace control
