// One bridge per robot and user: two would publish every reading twice and take every command twice.
// The claim is a lock on a file of the user's runtime folder, which the system lets go of however
// the process ends; the file is removed when the bridge ends cleanly.
#pragma once

#include <string>

#include "platform/posix/unique_fd.h"
#include "platform/status.h"

namespace ros2_bridge {

class CInstanceClaim {
 public:
  CInstanceClaim() = default;
  ~CInstanceClaim();
  CInstanceClaim(const CInstanceClaim&) = delete;
  CInstanceClaim& operator=(const CInstanceClaim&) = delete;

  // Claims robot `robot`'s bridge. kBusy when another process holds it (the message says which, where
  // it can tell); kWriteFailed, kForeign or kOpenFailed when the lock file cannot be made or locked.
  platform::Result Claim(const std::string& robot);
  const std::string& path() const { return path_; }

 private:
  platform::UniqueFd fd_;
  std::string path_;
};

// The folder of the lock files: $XDG_RUNTIME_DIR, else /tmp; and the file of one robot in it (the
// robot's name escaped as the sections' names are).
std::string ClaimPath(const std::string& robot);

}  // namespace ros2_bridge
