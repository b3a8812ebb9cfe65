// The debugger output: frame-level diagnostics nobody has to act on.
//
// Written to standard error, one line per message, only when TREVASK_DEBUG=1. Leading and trailing
// line feeds of the message are dropped and inner ones become spaces, so every message is one line.
// Tests may install an observer that sees every message whether or not it is printed.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

void DebugOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Installs (or with an empty function removes) an observer of every message. Not for production use.
void SetDebugObserver(std::function<void(std::string_view)> observer);

bool DebugOutputEnabled();

}  // namespace platform
