// A Bluetooth serial module in front of the robot, on the robot's end of the pseudo-terminal. In
// command mode it answers its AT commands ("AT+ZV SPPDisconnect" -> "SPPConnectionClosed",
// "AT+ZV SPPConnect <address>" -> "BypassMode") and passes nothing to the robot; in bypass mode it
// carries the robot's frames both ways until the escape "^#^$^%" brings it back ("CommandMode").
#pragma once

#include <memory>
#include <string>

#include "sim/wire.h"

namespace sim {

struct ModuleOptions {
  bool answer_escape = true;  // false: a module that stays silent on the escape
  bool connect = true;        // false: a module that never reaches the robot
};

std::unique_ptr<Wire> WrapInBluetoothModule(std::unique_ptr<Wire> inner, ModuleOptions options);

}  // namespace sim
