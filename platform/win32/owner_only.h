// The security descriptor of the named objects this process makes for itself and the processes of
// its user: what others on the machine would otherwise open (a section's readings, its commands, a
// doorbell) stays the user's.
#pragma once

#include <windows.h>

namespace platform {

// Security attributes that let only this process's user, SYSTEM and Administrators open a named object;
// null when they cannot be built (the object then gets the default descriptor).
SECURITY_ATTRIBUTES* OwnerOnlyAttributes();  // built once per process, lives until it ends

}  // namespace platform
