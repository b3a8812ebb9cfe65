// The words for a person of each status the link returns, the same on every system.
#include "relay/transport/link_status.h"

namespace relay {

const char* LinkStatusText(LinkStatus status) {
  switch (status) {
    case LinkStatus::kOk:
      return "ok";
    case LinkStatus::kNotReady:
      return "the link cannot take bytes now";
    case LinkStatus::kSendFailed:
      return "the link failed to send";
    case LinkStatus::kPortFailed:
      return "the link cannot be opened";
    case LinkStatus::kHandshakeFailed:
      return "the module on the link did not connect to the robot";
    case LinkStatus::kSectionError:
      return "the command ring cannot be opened";
    case LinkStatus::kClaimedElsewhere:
      return "the robot is served by another relay";
  }
  return "unknown";
}

}  // namespace relay
