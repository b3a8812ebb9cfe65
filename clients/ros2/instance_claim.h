// One bridge per robot on this machine: two would publish every reading twice and take every command
// twice. The claim is a small named object beside the robot's sections, held by the bridge that
// serves the robot; the system lets go of it however that process ends, and its name goes when the
// bridge ends. Unlike a lock file it does not depend on the folders a bridge is given: a service
// manager's private /tmp or another runtime folder still finds it.
#pragma once

#include <string>

#include "platform/shared_memory.h"
#include "platform/status.h"

namespace ros2_bridge {

class CInstanceClaim {
 public:
  CInstanceClaim() = default;
  ~CInstanceClaim();
  CInstanceClaim(const CInstanceClaim&) = delete;
  CInstanceClaim& operator=(const CInstanceClaim&) = delete;

  // Claims robot `robot`'s bridge. kBusy when another bridge holds it (the message says which
  // process, where it can tell, or whose object it is); the object's status when it cannot be opened.
  platform::Result Claim(const std::string& robot);

 private:
  platform::SharedView view_;
  bool claimed_ = false;
};

// The name of robot `robot`'s claim: the robot's name escaped as its sections' names are.
std::string ClaimObjectName(const std::string& robot);

}  // namespace ros2_bridge
