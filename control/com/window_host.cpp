#include "control/com/window_host.h"

#include "control/com/utf8.h"

namespace control::com {
namespace {

constexpr wchar_t kClassName[] = L"TalvenorControlTimerWindow";

}  // namespace

HINSTANCE ModuleHandle() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ModuleHandle), &module);
  return module;
}

WindowHost::WindowHost() {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = &WindowProc;
  window_class.hInstance = ModuleHandle();
  window_class.lpszClassName = kClassName;
  RegisterClassW(&window_class);  // fails harmlessly once the class exists
  window_ =
      CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ModuleHandle(), nullptr);
  if (window_ != nullptr) SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

WindowHost::~WindowHost() {
  if (window_ == nullptr) return;
  for (const auto& [id, control] : timers_) ::KillTimer(window_, id);
  SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
  // The class names this module's window procedure: once no window uses it, it goes, so that a
  // module unloaded and loaded again elsewhere registers its own (this fails while windows remain).
  UnregisterClassW(kClassName, ModuleHandle());
}

void WindowHost::SetTimer(HostedControl& control, int timer_id, uint32_t period_ms) {
  if (window_ == nullptr) return;
  const auto id = static_cast<UINT_PTR>(timer_id);
  timers_[id] = &control;
  ::SetTimer(window_, id, period_ms, nullptr);
}

void WindowHost::KillTimers(HostedControl& control) {
  for (auto it = timers_.begin(); it != timers_.end();) {
    if (it->second != &control) {
      ++it;
      continue;
    }
    if (window_ != nullptr) ::KillTimer(window_, it->first);
    it = timers_.erase(it);
  }
}

void WindowHost::Invalidate(HostedControl&, bool erase_background) {
  if (HWND view = view_ ? view_() : nullptr; view != nullptr) InvalidateRect(view, nullptr, erase_background);
}

void WindowHost::UpdateNow(HostedControl&) {
  if (HWND view = view_ ? view_() : nullptr; view != nullptr) UpdateWindow(view);
}

bool WindowHost::MessageBox(HostedControl&, const std::string& text) {
  if (view_ == nullptr || view_() == nullptr) return false;
  ::MessageBoxW(window_, Utf16(text).c_str(), L"ZembrinSDKControl", MB_OK);
  return true;
}

LRESULT CALLBACK WindowHost::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER) {
    auto* host = reinterpret_cast<WindowHost*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (host != nullptr) {
      auto it = host->timers_.find(static_cast<UINT_PTR>(wparam));
      if (it != host->timers_.end()) {
        IUnknown* owner = host->owner_;
        if (owner != nullptr) owner->AddRef();
        it->second->OnTimer(static_cast<int>(wparam));
        if (owner != nullptr) owner->Release();  // may end the owner and this host: touch neither after
      }
    }
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace control::com
