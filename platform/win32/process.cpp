#include "platform/process.h"

#include "platform/win32/unique_handle.h"

namespace platform {

uint32_t ProcessId() {
  return static_cast<uint32_t>(::GetCurrentProcessId());
}

bool ProcessAlive(uint32_t id) {
  if (id == 0) return false;
  UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  // No such process is the only answer that counts as gone; one we may not open is alive.
  if (!process) return ::GetLastError() != ERROR_INVALID_PARAMETER;
  return ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

}  // namespace platform
