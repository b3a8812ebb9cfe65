#include "platform/waiting.h"

#include <windows.h>

namespace platform {
namespace {

HANDLE AsHandle(WaitHandle h) {
  return reinterpret_cast<HANDLE>(h);
}

}  // namespace

// Manual reset: set until drained, as a wake must survive until the waiting side looks.
Waker::Waker() {
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event != nullptr) handle_ = reinterpret_cast<WaitHandle>(event);
}

Waker::~Waker() {
  if (valid()) ::CloseHandle(AsHandle(handle_));
}

void Waker::Wake() {
  if (valid()) ::SetEvent(AsHandle(handle_));
}

void Waker::Drain() {
  if (valid()) ::ResetEvent(AsHandle(handle_));
}

WaitResult WaitForInputOrWake(WaitHandle line, const Waker& waker, int limit_ms) {
  HANDLE handles[2];
  DWORD count = 0;
  if (line != kNoWaitHandle) handles[count++] = AsHandle(line);
  if (waker.valid()) handles[count++] = AsHandle(waker.handle());
  if (count == 0) {
    ::Sleep(static_cast<DWORD>(limit_ms));
    return WaitResult::kTimedOut;
  }
  const DWORD r = ::WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(limit_ms));
  if (r == WAIT_TIMEOUT) return WaitResult::kTimedOut;
  if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count)
    return line != kNoWaitHandle && r == WAIT_OBJECT_0 ? WaitResult::kInput : WaitResult::kWoken;
  return WaitResult::kFailed;
}

}  // namespace platform
