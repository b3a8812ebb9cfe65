// The debugger output: frame-level diagnostics nobody has to act on.
//
// Written to standard error, one line per message, only when TREVASK_DEBUG=1. Leading and trailing
// line feeds of the message are dropped and inner ones become spaces, so every message is one line.
// Tests may install an observer that sees every message whether or not it is printed.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

// printf-style checking of format strings; on Windows the C library in use is the GNU-compatible one
// (__USE_MINGW_ANSI_STDIO), so %zu and the like are checked as such.
#if defined(__MINGW32__)
#define TREVASK_PRINTF(format_index, first_arg) __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define TREVASK_PRINTF(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#endif

void DebugOutput(const char* format, ...) TREVASK_PRINTF(1, 2);

// Installs (or with an empty function removes) an observer of every message. Not for production use.
void SetDebugObserver(std::function<void(std::string_view)> observer);

bool DebugOutputEnabled();

}  // namespace platform
