// Telling systemd how the relay is doing, when it runs as a Type=notify service: READY=1 once the
// robot first answers, and the link's status text as the unit's status. The protocol is one datagram
// per message to the socket NOTIFY_SOCKET names; without it (not a service) nothing is sent.
#pragma once

#include <string>

namespace relay {

// Sends "READY=1" (once per process).
void NotifyReady();
// Sends "STATUS=<text>" (the first line of it).
void NotifyStatus(const std::string& text);
// Sends "STOPPING=1".
void NotifyStopping();

}  // namespace relay
