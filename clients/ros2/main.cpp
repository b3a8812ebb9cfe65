// trevask-ros2 ROBOT [-c FILE] [--namespace NS] [--domain-id N] [--ros-distro humble|jazzy]
//
// Serves until SIGINT or SIGTERM; exits 2 on a bad command line or configuration, 3 when another
// bridge serves the robot already, 1 when the robot's sections or the DDS domain cannot be opened.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "clients/ros2/bridge_options.h"
#include "clients/ros2/ros2_bridge.h"

namespace {

// Written by the signal handler, read by the loop: a lock-free atomic is safe in a handler.
std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop.store(true, std::memory_order_relaxed);
}

}  // namespace

int main(int argc, char** argv) {
  ros2_bridge::BridgeOptions options;
  std::string error;
  bool help = false;
  if (!ros2_bridge::ParseArguments(argc, argv, std::getenv("ROS_DOMAIN_ID"), options, error, help)) {
    std::fprintf(help ? stdout : stderr, "%s%s", help ? "" : "trevask-ros2: ", error.c_str());
    if (!error.empty() && error.back() != '\n') std::fputc('\n', help ? stdout : stderr);
    return help ? 0 : 2;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  ros2_bridge::CRos2Bridge bridge(options);
  bool held = false;
  if (!bridge.Start(error, held)) {
    std::fprintf(stderr, "trevask-ros2: %s\n", error.c_str());
    return held ? 3 : 1;
  }
  std::printf("trevask-ros2: robot '%s' on DDS domain %d under %s\n", options.robot.c_str(),
              options.domain_id, options.ros_namespace.c_str());
  std::fflush(stdout);
  bridge.Run(g_stop);
  return 0;
}
