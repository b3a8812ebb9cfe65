// Calls of the control's methods and properties by name, as JSON: {"id": "7", "method":
// "DcMotorPwmNonTimeCtr", "args": [0, 300]}. The reply is {"id": "7", "result": ...} or {"id": "7",
// "error": {"code": ..., "message": "..."}} with the dispatch's status code. Nothing a caller sends
// can crash the bridge: every fault is an error reply.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "control/control.h"

namespace mqtt_bridge {

inline constexpr std::size_t kMaxCallBytes = 4096;

struct CallReply {
  // The caller's id as it may end a reply topic (1..64 characters, no '/', '+' or '#'); empty when
  // the call carried none that can, and the reply goes to the errors topic instead.
  std::string id;
  nlohmann::json body;
};

// Handles one call for the robot the bridge serves.
CallReply HandleCall(control::CZembrinSDKControlCtrl& control, const std::string& payload);

}  // namespace mqtt_bridge
