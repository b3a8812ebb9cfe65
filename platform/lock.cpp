#include "platform/lock.h"

namespace platform {

RecursiveLock::RecursiveLock() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}

RecursiveLock::~RecursiveLock() {
  pthread_mutex_destroy(&mutex_);
}

}  // namespace platform
