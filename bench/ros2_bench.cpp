// The ROS 2 row of trevask-bench: a robot through its relay and trevask-ros2 to a DDS subscriber set
// up as ROS 2's middleware layer sets one up (the sensor data QoS, XCDR1), on the loopback address.
#include <arpa/inet.h>
#include <dds/dds.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench/bench_common.h"
#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "relay/link/link_manager.h"
#include "sim/sim_thread.h"
#include "std_msgs.h"

namespace bench {

void BenchRos2() {
  setenv("CYCLONEDDS_URI", "file://" DDS_LOOPBACK_CONFIG, 1);
  const std::string robot = "rosb" + std::to_string(getpid());
  const std::string domain = std::to_string(1 + getpid() % 230);
  // Only the records the bench injects: no streams asked for, no pictures.
  const std::string config = "/tmp/trevask-bench-ros2-" + std::to_string(getpid()) + ".conf";
  if (FILE* f = std::fopen(config.c_str(), "w")) {
    std::fprintf(f, "request_sensors = false\ncamera_rate = 0\n");
    std::fclose(f);
  }
  std::unique_ptr<sim::RunningSim> sim = sim::StartUdpSim({});
  relay::LinkConfig choices;
  choices.kind = relay::LinkKind::kWifi;
  choices.ip_address = htonl(0x7F000001);
  choices.udp_port = sim->UdpPort();
  choices.robot_id = robot;
  relay::NullLinkEvents ui(choices);
  relay::CLinkManager link(ui);
  link.StartConnection();
  while (!ui.connected()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const pid_t bridge = Spawn({ROS2_BRIDGE_BIN, robot, "--domain-id", domain, "-c", config});

  const dds_entity_t participant = dds_create_participant(std::stoi(domain), nullptr, nullptr);
  const std::string name = "rt/" + robot + "/raw/standard";
  const dds_entity_t topic = dds_create_topic(participant, &std_msgs_msg_dds__Float64MultiArray__desc,
                                              name.c_str(), nullptr, nullptr);
  dds_qos_t* qos = dds_create_qos();
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 5);
  dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
  const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
  dds_qset_data_representation(qos, 1, &xcdr1);
  const dds_entity_t reader = dds_create_reader(participant, topic, qos, nullptr);
  dds_delete_qos(qos);
  const dds_entity_t waitset = dds_create_waitset(participant);
  dds_set_status_mask(reader, DDS_DATA_AVAILABLE_STATUS);
  dds_waitset_attach(waitset, reader, 0);

  // A standard record whose first byte (sonar1) is `number`, as the robot sends it; then the time
  // until the subscriber holds it.
  auto once = [&](int number, int limit_ms) -> double {
    uint8_t payload[40] = {};
    payload[0] = static_cast<uint8_t>(number);
    const exchange::Frame f =
        exchange::Frame::Make(exchange::kDestComputer, 0, exchange::kTypeStandardSensor, payload, 40);
    const auto sent = Clock::now();
    sim->robot().Inject(std::vector<uint8_t>(f.bytes, f.bytes + f.size));
    const auto end = sent + std::chrono::milliseconds(limit_ms);
    while (Clock::now() < end) {
      dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(limit_ms));
      void* samples[8] = {};
      dds_sample_info_t info[8];
      const int n = dds_take(reader, samples, info, 8, 8);
      bool found = false;
      for (int i = 0; i < n; ++i) {
        const auto* m = static_cast<const std_msgs_msg_dds__Float64MultiArray_*>(samples[i]);
        found = found || (info[i].valid_data && m->data._length > 0 && m->data._buffer[0] == number);
      }
      if (n > 0) dds_return_loan(reader, samples, n);
      if (found) return std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    }
    return -1;
  };
  // Until the bridge has found the subscriber (discovery), then numbered records at the readings'
  // pace, each timed.
  bool up = false;
  for (int i = 0; i < 100 && !up; ++i) up = once(255, 100) >= 0;
  std::vector<double> latencies;
  for (int i = 0; up && i < 200; ++i) {
    const double ms = once(i % 200, 1000);
    if (ms >= 0) latencies.push_back(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(7 + i % 23));
  }
  dds_delete(participant);
  kill(bridge, SIGTERM);
  waitpid(bridge, nullptr, 0);
  link.RequestStop();
  link.WaitForConnectionThread();
  std::remove(config.c_str());
  const std::string what = "robot to ROS 2 subscriber (relay, control, trevask-ros2, DDS), p50 / p99";
  if (latencies.empty()) {
    AddRow(what, "did not run", "-", "-");
    return;
  }
  std::sort(latencies.begin(), latencies.end());
  const double p50 = latencies[latencies.size() / 2], p99 = latencies[latencies.size() * 99 / 100];
  AddRow(what,
         Fmt("%.2f ms", p50) + " / " + Fmt("%.2f ms", p99) + Fmt(" (%.0f samples)", double(latencies.size())),
         "the DDS round trip above (two hops)", "-");
}

}  // namespace bench
