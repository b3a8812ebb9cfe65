// Every way the link can fail to send, connect or take up a robot's rings, and the one text for a
// person of each.
#pragma once

namespace relay {

enum class LinkStatus {
  kOk,                // sent, connected or opened
  kNotReady,          // the transport could not take the bytes now (or is closed): nothing went out
  kSendFailed,        // the transport took the bytes and failed
  kPortFailed,        // the port, the socket or the robot's sections cannot be opened
  kHandshakeFailed,   // the port is open but the module on it did not connect to the robot
  kSectionError,      // the command ring cannot be opened as it should
  kClaimedElsewhere,  // another relay serves the robot of that name
};

const char* LinkStatusText(LinkStatus status);

}  // namespace relay
