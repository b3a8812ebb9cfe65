// A program this one starts and ends, for the benchmarks and tests that need a relay of their own in
// another process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace platform {

// Move-only. A child still running when its object goes is stopped and waited for.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running() const { return native_ != 0; }
  uint32_t id() const { return id_; }
  // Ends it (SIGTERM, so that a relay removes its sections' names; on Windows, terminated) and
  // waits until it has ended. Returns its exit status; -1 when none was running.
  int Stop();

 private:
  friend Result StartChildProcess(const std::vector<std::string>&, ChildProcess&);
  uintptr_t native_ = 0;  // the process's handle (Windows) or number (POSIX); 0 when none
  uint32_t id_ = 0;
};

// Starts argv[0] with the arguments that follow it, with this process's environment and its
// standard streams. kStartFailed with a reason a person can act on (the program not found).
Result StartChildProcess(const std::vector<std::string>& argv, ChildProcess& out);

}  // namespace platform
