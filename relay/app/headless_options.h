// The headless relay's command line, read as a user who chose a link kind, filled the fields and
// pressed Connect.
#pragma once

#include <string>

#include "relay/app/settings.h"
#include "relay/link/link_ui.h"

namespace relay {

struct HeadlessOptions {
  bool headless = false;
  bool help = false;
  LinkChoices choices;
  std::string firmware;    // a firmware file to upload once the robot answers; empty: none
  RelaySettings settings;  // as read, with the values this run uses; written back at exit
};

// False with a message a person can act on when the arguments do not describe a connection. Values
// the command line does not give (the Wi-Fi port, the Bluetooth address) come from `saved`.
bool ParseHeadlessOptions(int argc, const char* const* argv, const RelaySettings& saved, HeadlessOptions& out,
                          std::string& error);

const char* HeadlessUsage();

}  // namespace relay
