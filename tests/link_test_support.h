// Helpers for the link tests: a front end that records what the link tells it, a simulated robot running
// on its own thread over a real wire, and waiting on conditions (wait_support.h).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "platform/udp_socket.h"
#include "relay/link/link_manager.h"
#include "sim/robot.h"
#include "sim/sim_thread.h"
#include "wait_support.h"

namespace testing_support {

// Records the link's events as the dialog renders them: its status text, the link icon (140 down,
// 141 up), the quality bar (five less the answers missed), the window minimized at the first answer,
// the controls set for a connection when the port opens.
class RecordingUi : public relay::LinkEvents {
 public:
  explicit RecordingUi(relay::LinkConfig config) : config_(std::move(config)) {}
  void Attach(relay::CLinkManager* m) { manager_ = m; }

  relay::LinkConfig Config() override {
    std::lock_guard<std::mutex> g(mutex_);
    return config_;
  }
  void SetConfig(relay::LinkConfig c) {
    std::lock_guard<std::mutex> g(mutex_);
    config_ = std::move(c);
  }
  void Status(relay::LinkMoment moment, const std::string& text) override {
    Add("status:" + text);
    if (moment == relay::LinkMoment::kPortOpen) Add("controls-connected");
  }
  void PortOpened() override { Add("bar:5"); }
  void AnswersMissed(int missed) override { Add("bar:" + std::to_string(5 - missed)); }
  void LinkChanged(bool up, bool first) override {
    Add(up ? "icon:141" : "icon:140");
    if (up && first) Add("minimize");
  }
  void GaveUp() override {
    Add("disconnect");
    if (manager_ != nullptr) manager_->RequestStop();
  }
  void Message(relay::MessageKind kind, const std::string& text) override {
    const bool box = kind == relay::MessageKind::kFailure || kind == relay::MessageKind::kSuccess;
    Add((box ? "message:" : "note:") + text);
  }
  void Progress(int sent, int total) override {
    Add("progress:" + std::to_string(sent) + "/" + std::to_string(total));
  }

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(mutex_);
    return events_;
  }
  int Count(const std::string& event) {
    std::lock_guard<std::mutex> g(mutex_);
    return static_cast<int>(std::count(events_.begin(), events_.end(), event));
  }
  bool Has(const std::string& event) { return Count(event) > 0; }
  // Events that start with `prefix`, in order.
  std::vector<std::string> Matching(const std::string& prefix) {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<std::string> out;
    for (const auto& e : events_)
      if (e.rfind(prefix, 0) == 0) out.push_back(e);
    return out;
  }

 private:
  void Add(std::string e) {
    std::lock_guard<std::mutex> g(mutex_);
    events_.push_back(std::move(e));
  }
  std::mutex mutex_;
  relay::LinkConfig config_;
  std::vector<std::string> events_;
  relay::CLinkManager* manager_ = nullptr;
};

using RunningSim = sim::RunningSim;
using sim::StartUdpSim;

inline relay::LinkConfig WifiConfig(int port, const std::string& robot) {
  relay::LinkConfig c;
  c.kind = relay::LinkKind::kWifi;
  c.ip_address = platform::Ipv4Loopback();
  c.udp_port = port;
  c.robot_id = robot;
  return c;
}

// The robot's command section mapped raw, as an outside tool sees it (the layout, not the handles).
inline platform::Status MapCommandSection(const std::string& robot, platform::SharedView& view) {
  const exchange::SectionSpec& spec = exchange::Spec(exchange::SectionId::kCommand);
  bool created = false;
  return platform::OpenSharedView(exchange::SectionObjectName(robot, spec.suffix),
                                  exchange::SectionSize(spec.capacity, spec.slots), view, created);
}

inline std::string UniqueRobot(const std::string& tag) {
  return "L" + tag + std::to_string(getpid());
}

// A relay linked over UDP to a simulated robot, up and answering, with a producer on the robot's
// command section standing in for a client.
class LinkedRobotFixture : public ::testing::Test {
 protected:
  void Connect(const std::string& robot, sim::SimOptions options = {}) {
    sim_ = StartUdpSim(options);
    ASSERT_TRUE(sim_);
    robot_ = robot;
    ui_ = std::make_unique<RecordingUi>(WifiConfig(sim_->UdpPort(), robot_));
    link_ = std::make_unique<relay::CLinkManager>(*ui_);
    ui_->Attach(link_.get());
    link_->SetTransport(transport_);
    ASSERT_EQ(commands_.Open(robot_, exchange::SectionId::kCommand), platform::Status::kOk);
    ASSERT_TRUE(link_->StartConnection());
    ASSERT_TRUE(WaitUntil([&] { return ui_->Has("minimize"); }));
  }
  void TearDown() override {
    if (link_) {
      link_->RequestStop();
      link_->WaitForConnectionThread();
    }
    link_.reset();  // before a transport the test owns is gone
  }
  void PutRecord(const uint8_t* data, std::size_t size) {
    ASSERT_EQ(commands_.Put(data, static_cast<uint32_t>(size)), exchange::PutStatus::kStored);
  }

  relay::Transport* transport_ = nullptr;  // the relay's own UDP endpoint unless a test sets one
  std::unique_ptr<RunningSim> sim_;
  std::string robot_;
  std::unique_ptr<RecordingUi> ui_;
  std::unique_ptr<relay::CLinkManager> link_;
  exchange::CRingProducer commands_;
};

}  // namespace testing_support
