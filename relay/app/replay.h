// trevask --replay FILE --robot NAME [--speed X]: a recording played into a robot's sections as the
// robot's frames arrived, with their timing (divided by the speed), so that clients run against it
// without a robot. The frames the relay sent are not replayed; commands clients put meanwhile are
// logged, not sent. The command ring is claimed as a relay claims it, and marked "link up".
#pragma once

#include <string>

namespace relay {

// Returns the exit status: 0 when the recording was played to its end (or the program was asked to
// stop), 1 when the sections cannot be opened, 2 when the recording cannot be read.
int RunReplay(const std::string& path, double speed, const std::string& robot);

}  // namespace relay
