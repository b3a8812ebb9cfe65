#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

uint32_t ProcessId() {
  return static_cast<uint32_t>(getpid());
}

bool ProcessAlive(uint32_t id) {
  if (id == 0) return false;
  if (kill(static_cast<pid_t>(id), 0) == 0) return true;
  return errno != ESRCH;
}

}  // namespace platform
