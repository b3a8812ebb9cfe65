// The status texts of the link, worded as the relay's users know them, per connection kind.
#pragma once

#include <string>

#include "relay/link/link_config.h"

namespace relay {

enum class LinkMoment { kStarting, kPortOpen, kConnected, kLost, kReconnecting, kEnded };

// The text for `moment` under `kind`; `number` is the COM port, or the IP port for Wi-Fi. A COM port
// given by its device path is shown beside its number: nobody looks for a "COM port 2" that is
// really /dev/ttyUSB9.
std::string StatusText(LinkMoment moment, LinkKind kind, int number, const std::string& device = "");

}  // namespace relay
