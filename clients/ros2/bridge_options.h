// What trevask-ros2 is told: the robot, the ROS 2 namespace and domain, the units of the robot's
// readings and the geometry of its drive; from the command line and an optional configuration file
// of "key = value" lines (the command line wins).
#pragma once

#include <string>

#include "clients/ros2/conversions.h"
#include "clients/ros2/interop/ros_interop.h"
#include "platform/status.h"

namespace ros2_bridge {

struct BridgeOptions {
  std::string robot;
  std::string ros_namespace;  // empty: "/" + robot
  int domain_id = 0;          // ROS_DOMAIN_ID when set
  ros2::Distribution distro = ros2::Distribution::kJazzy;
  double camera_rate = 2;        // pictures asked of the robot per second; 0: none
  int camera_quality = 80;       // JPEG quality of the compressed pictures
  bool raw_image = false;        // also publish the decoded picture as rgb8
  bool request_sensors = true;   // ask the robot for every sensor stream when its link comes up
  double cmd_vel_timeout = 0.5;  // seconds without cmd_vel after which the wheels are stopped
  RangeSpec sonar{0.52, 0.02, 2.55};
  RangeSpec infrared{0.05, 0.10, 0.80};
  Scaling scaling = Scaling::SimulatedRobot();
  DriveGeometry drive;
};

// Reads a configuration file (keys as UsageText lists them; '#' starts a comment). A failure with a
// reason a person can act on: kBadContent for a line (or keys that contradict each other), kNoAccess
// for a file others may change, the file's status when it cannot be read.
platform::Result ReadConfigFile(const std::string& path, BridgeOptions& options);
// The whole command line, with ROS_DOMAIN_ID from `domain_env` (null when unset): `help` set for
// --help (the caller shows UsageText), else a failure with a reason (kBadArgument, or the
// configuration file's).
platform::Result ParseArguments(int argc, char** argv, const char* domain_env, BridgeOptions& options,
                                bool& help);

std::string UsageText();

}  // namespace ros2_bridge
