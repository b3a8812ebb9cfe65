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
  bool help = false;
  const platform::Result parsed =
      ros2_bridge::ParseArguments(argc, argv, std::getenv("ROS_DOMAIN_ID"), options, help);
  if (help) {
    std::fputs(ros2_bridge::UsageText().c_str(), stdout);
    return 0;
  }
  if (!parsed.ok()) {
    const std::string& text = parsed.message;
    std::fprintf(stderr, "trevask-ros2: %s", text.c_str());
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stderr);
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  ros2_bridge::CRos2Bridge bridge(options);
  if (const platform::Result started = bridge.Start(); !started.ok()) {
    std::fprintf(stderr, "trevask-ros2: %s\n", started.message.c_str());
    return started.status == platform::Status::kBusy ? 3 : 1;
  }
  std::printf("trevask-ros2: robot '%s' on DDS domain %d under %s\n", options.robot.c_str(),
              options.domain_id, options.ros_namespace.c_str());
  std::fflush(stdout);
  bridge.Run(g_stop);
  return 0;
}
