#include "clients/ros2/instance_claim.h"

#include <atomic>
#include <cstdint>

#include "exchange/sections.h"
#include "platform/process.h"

namespace ros2_bridge {
namespace {

// The object holds the process number of the bridge that claimed it, for the message of the next
// one that tries.
constexpr std::size_t kClaimSize = 8;

std::atomic_ref<uint32_t> Holder(const platform::SharedView& view) {
  // A mapping starts on a page: the first word is aligned.
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(view.data()));
}

}  // namespace

std::string ClaimObjectName(const std::string& robot) {
  return exchange::SectionObjectName(robot, "Ros2Bridge");
}

platform::Result CInstanceClaim::Claim(const std::string& robot) {
  const std::string name = ClaimObjectName(robot);
  bool created = false;
  const platform::Status opened = platform::OpenSharedView(name, kClaimSize, view_, created);
  if (opened == platform::Status::kForeign) {
    // Another user's bridge serves the robot, or was killed and left the name behind.
    return platform::Fail(platform::Status::kBusy,
                          "another user's trevask-ros2 bridges robot '" + robot +
                              "' already, or left its claim behind: " + platform::DescribeSharedObject(name));
  }
  if (opened != platform::Status::kOk) {
    return platform::Fail(opened, "the claim of robot '" + robot + "' (" + name +
                                      ") cannot be opened: " + platform::StatusText(opened));
  }
  if (!platform::TryClaim(view_)) {
    // Relaxed: only the number is handed over, and a message without it (the holder has not written
    // it yet) is still true.
    const uint32_t holder = Holder(view_).load(std::memory_order_relaxed);
    return platform::Fail(platform::Status::kBusy,
                          "another trevask-ros2 bridges robot '" + robot + "' already" +
                              (holder != 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
                              "; it holds " + name);
  }
  claimed_ = true;
  Holder(view_).store(platform::ProcessId(), std::memory_order_relaxed);
  return platform::Ok();
}

CInstanceClaim::~CInstanceClaim() {
  if (!claimed_) return;
  Holder(view_).store(0, std::memory_order_relaxed);
  platform::ReleaseClaim(view_);
  // The name itself goes when the process ends, once no other process (a second bridge being turned
  // away) holds the object.
}

}  // namespace ros2_bridge
