// A simulated robot stepping on a thread of its own until destroyed: for tests, benchmarks and the
// screenshots, which need a robot inside their own process.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/thread.h"
#include "sim/robot.h"

namespace sim {

class RunningSim {
 public:
  RunningSim(std::unique_ptr<Wire> wire, SimOptions options) : wire_(std::move(wire)) {
    options.log = nullptr;
    robot_ = std::make_unique<SimRobot>(*wire_, options);
    platform::StartThread(
        [this] {
          while (!stop_.load(std::memory_order_acquire)) robot_->Step(1);
        },
        thread_);
  }
  ~RunningSim() {
    stop_.store(true, std::memory_order_release);
    thread_.Join();
  }
  RunningSim(const RunningSim&) = delete;
  RunningSim& operator=(const RunningSim&) = delete;

  SimRobot& robot() { return *robot_; }
  Wire& wire() { return *wire_; }
  // The UDP port of a robot on UDP.
  int UdpPort() const {
    const std::string d = wire_->Describe();
    return std::stoi(d.substr(d.rfind(':') + 1));
  }

 private:
  std::unique_ptr<Wire> wire_;
  std::unique_ptr<SimRobot> robot_;
  std::atomic<bool> stop_{false};  // written by the owner, read by the robot's thread on every step
  platform::Thread thread_;
};

// A robot on UDP 127.0.0.1 at a free port; null when no socket can be had.
inline std::unique_ptr<RunningSim> StartUdpSim(SimOptions options = {}) {
  std::unique_ptr<Wire> wire;
  if (!OpenUdpWire("127.0.0.1:0", wire).ok()) return nullptr;
  return std::make_unique<RunningSim>(std::move(wire), options);
}

}  // namespace sim
