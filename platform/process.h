// Which process this is, and whether another one still exists: what a writer needs to tell a
// process that stopped in the middle of a shared write from one that is gone.
#pragma once

#include <cstdint>

namespace platform {

// This process's number (never 0).
uint32_t ProcessId();

// False only when no process `id` exists any more. A process this one may not look at (another
// user's), or one elsewhere that happens to share the number (another PID namespace), counts as
// alive: the caller then waits for it rather than take over what it may still be writing.
bool ProcessAlive(uint32_t id);

}  // namespace platform
