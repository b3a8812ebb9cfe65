#include "platform/thread.h"

#include <process.h>
#include <windows.h>

#include <utility>

namespace platform {
namespace {

static_assert(sizeof(HANDLE) <= sizeof(uintptr_t), "a thread handle fits the handle word");

unsigned __stdcall Trampoline(void* arg) {
  auto* body = static_cast<std::function<void()>*>(arg);
  (*body)();
  delete body;
  return 0;
}

}  // namespace

void Thread::Join() {
  if (!started_) return;
  HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  ::WaitForSingleObject(handle, INFINITE);
  ::CloseHandle(handle);
  started_ = false;
}

bool StartThread(std::function<void()> body, Thread& out) {
  out.Join();
  auto* heap_body = new std::function<void()>(std::move(body));
  // _beginthreadex rather than CreateThread: the C runtime sets up its per-thread state.
  const uintptr_t handle = ::_beginthreadex(nullptr, 0, &Trampoline, heap_body, 0, nullptr);
  if (handle == 0) {
    delete heap_body;
    return false;
  }
  out.handle_ = handle;
  out.started_ = true;
  return true;
}

}  // namespace platform
