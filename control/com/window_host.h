// The control's host on Windows: a message-only window of the thread that made the control. Its
// window timers drive the control's polling, so that thread must pump messages, as the thread of
// every control does; message boxes are owned by it.
#pragma once

#include <objbase.h>
#include <windows.h>

#include <functional>
#include <map>

#include "control/host.h"

namespace control::com {

class WindowHost : public ControlHost {
 public:
  WindowHost();
  ~WindowHost() override;
  WindowHost(const WindowHost&) = delete;
  WindowHost& operator=(const WindowHost&) = delete;

  bool valid() const { return window_ != nullptr; }
  // The object that owns this host: held through each timer's call, so that a handler that lets it
  // go ends it only once the call has returned.
  void SetOwner(IUnknown* owner) { owner_ = owner; }
  // The window the control paints in while a container has it active in place.
  void SetView(std::function<HWND()> view) { view_ = std::move(view); }

  void SetTimer(HostedControl& control, int timer_id, uint32_t period_ms) override;
  void KillTimers(HostedControl& control) override;
  // Nothing to paint until a container activates the control in place.
  void Invalidate(HostedControl&, bool erase_background) override;
  void UpdateNow(HostedControl&) override;
  // Only while a container shows the control (active in place): a host that never shows it (a
  // script) has nobody to close a box, and its caller hears the text as an error instead.
  bool MessageBox(HostedControl& control, const std::string& text) override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  HWND window_ = nullptr;
  IUnknown* owner_ = nullptr;
  std::function<HWND()> view_;
  std::map<UINT_PTR, HostedControl*> timers_;
};

// The module's own handle (the library, not the program that loaded it).
HINSTANCE ModuleHandle();

}  // namespace control::com
