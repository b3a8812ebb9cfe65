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

// What calls from the network may touch on the bridge's computer. Methods that name a file (a sound
// for the relay to play, a picture for an LCD) take a plain file name inside `files_dir`, and none
// when it is empty; saving the photo to a file is never done for a caller (the camera topic has it).
struct CallPolicy {
  std::string files_dir;
};

struct CallReply {
  // The caller's id as it may end a reply topic (1..64 characters, no '/', '+' or '#'); empty when
  // the call carried none that can, and the reply goes to the errors topic instead.
  std::string id;
  nlohmann::json body;
};

// Handles one call for the robot the bridge serves.
CallReply HandleCall(control::CZembrinSDKControlCtrl& control, const std::string& payload,
                     const CallPolicy& policy);

}  // namespace mqtt_bridge
