// Telling the service manager how a program run as a service is doing. Under systemd (a
// Type=notify unit) each message is one datagram to the socket NOTIFY_SOCKET names; without it (not
// a service), and on Windows, where the relay is no service, nothing is sent.
#pragma once

#include <string>

namespace platform {

// Sends "READY=1" (once per process).
void NotifyReady();
// Sends "STATUS=<text>" (the first line of it).
void NotifyStatus(const std::string& text);
// Sends "STOPPING=1".
void NotifyStopping();

}  // namespace platform
