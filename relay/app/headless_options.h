// The headless relay's command line, read as a user who chose a link kind, filled the fields and
// pressed Connect.
#pragma once

#include <string>

#include "relay/link/link_ui.h"

namespace relay {

struct HeadlessOptions {
  bool headless = false;
  bool help = false;
  LinkChoices choices;
  std::string firmware;  // a firmware file to upload once the robot answers; empty: none
};

// False with a message a person can act on when the arguments do not describe a connection.
bool ParseHeadlessOptions(int argc, const char* const* argv, HeadlessOptions& out, std::string& error);

const char* HeadlessUsage();

}  // namespace relay
