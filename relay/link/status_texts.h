// The status texts of the link, worded as the relay's users know them, per connection kind.
#pragma once

#include <string>

#include "relay/link/link_ui.h"

namespace relay {

enum class LinkMoment { kStarting, kPortOpen, kConnected, kLost, kReconnecting, kEnded };

// The text for `moment` under the selected kind; `number` is the COM port, or the IP port for Wi-Fi.
std::string StatusText(LinkMoment moment, LinkKindChoice kind, int number);

}  // namespace relay
