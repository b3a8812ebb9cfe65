#include "platform/thread.h"

#include <pthread.h>

#include <utility>

namespace platform {
namespace {

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "a thread handle fits the handle word");

void* Trampoline(void* arg) {
  auto* body = static_cast<std::function<void()>*>(arg);
  (*body)();
  delete body;
  return nullptr;
}

}  // namespace

void Thread::Join() {
  if (!started_) return;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  started_ = false;
}

bool StartThread(std::function<void()> body, Thread& out) {
  out.Join();
  auto* heap_body = new std::function<void()>(std::move(body));
  pthread_t handle;
  if (pthread_create(&handle, nullptr, &Trampoline, heap_body) != 0) {
    delete heap_body;
    return false;
  }
  out.handle_ = static_cast<uintptr_t>(handle);
  out.started_ = true;
  return true;
}

}  // namespace platform
