// Calls of the control's methods and properties by name, as JSON: {"id": "7", "method":
// "DcMotorPwmNonTimeCtr", "args": [0, 300]}. The reply is {"id": "7", "result": ...} or {"id": "7",
// "error": {"code": ..., "message": "..."}} with the dispatch's status code. Nothing a caller sends
// can crash the bridge: every fault is an error reply.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "control/control.h"
#include "platform/posix/unique_fd.h"

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

// Opens file `name` of the files folder for a call: a plain name (no '/', no leading '.', no control
// characters, not ending in "EOF"), a regular file, opened without following a link and without
// waiting. `path` is its full path. False with the reason otherwise.
bool OpenInFilesFolder(const std::string& folder, const std::string& name, platform::UniqueFd& file,
                       std::string& path, std::string& why);

// The code of a "busy" answer: the server asks the caller to call again later.
inline constexpr int32_t kBusyCode = static_cast<int32_t>(0x8001010Au);

// An error answer to a call that is not carried out, with the call's id when it has a usable one.
CallReply RefuseCall(const std::string& payload, int32_t code, const std::string& message);

// Handles one call for the robot the bridge serves.
CallReply HandleCall(control::CZembrinSDKControlCtrl& control, const std::string& payload,
                     const CallPolicy& policy);

}  // namespace mqtt_bridge
