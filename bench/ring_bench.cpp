// trevask-ring-bench: the way of a record from the robot to a client's C handler, and of a client's
// put to the robot, through a relay in a process of its own, measured by one program that builds for
// every system the relay runs on (so that Linux's and Windows's figures come from the same code).
//
//   trevask-ring-bench RELAY [--label TEXT]
//
// The program plays the robot itself on UDP 127.0.0.1 (it answers the relay's keep-alives and stamps
// each reading as it sends it), starts RELAY headless against it, and connects a control on a
// headless host, which waits on the rings' doorbells. It prints one Markdown row per measurement and
// exits 1 when a reading was lost or a wait ran at a tick's pace instead of the doorbell's.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "control/control.h"
#include "control/headless_host.h"
#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/udp_socket.h"
#include "platform/waiting.h"

namespace {

double NowMs() {
  return platform::MonotonicSeconds() * 1000.0;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(static_cast<double>(v.size()) * p))];
}

// The robot's side of the link: answers keep-alives, notes when each motor frame arrives. The
// simulated robot (sim/) waits on POSIX descriptors, so on Windows it cannot run; this much of a
// robot is all the measurement needs, on every system alike.
class Robot {
 public:
  bool Open() { return socket_.Open() && socket_.Bind({platform::Ipv4Loopback(), 0}); }
  int port() const { return socket_.LocalPort(); }

  void Start() {
    platform::StartThread([this] { Run(); }, thread_);
  }
  void Stop() {
    stop_.store(true, std::memory_order_release);
    waker_.Wake();
    thread_.Join();
  }

  bool HasPeer() const { return have_peer_.load(std::memory_order_acquire); }

  // Sends a standard sensor reading whose first byte is `mark`; returns when it left.
  double SendReading(uint8_t mark) {
    uint8_t payload[40] = {};
    payload[0] = mark;
    const exchange::Frame f = exchange::Frame::Make(exchange::kDestComputer, 0, exchange::kTypeStandardSensor,
                                                    payload, sizeof payload);
    std::lock_guard<std::mutex> guard(send_mutex_);
    const double at = NowMs();
    socket_.SendTo(f.bytes, f.size, peer_);
    return at;
  }

  // When the motor frame whose value's low byte is `mark` arrived (0 while it has not).
  double MotorFrameAt(uint8_t mark) const { return motor_at_[mark].load(std::memory_order_acquire); }
  void ForgetMotorFrames() {
    for (auto& at : motor_at_) at.store(0, std::memory_order_relaxed);
  }

 private:
  void Run() {
    uint8_t buffer[4096];
    while (!stop_.load(std::memory_order_acquire)) {
      if (platform::WaitForInputOrWake(socket_.wait_handle(), waker_, 100) != platform::WaitResult::kInput)
        continue;
      platform::Ipv4Endpoint from;
      const int n = socket_.ReceiveFrom(buffer, sizeof buffer, from);
      if (n <= 0) continue;
      const double at = NowMs();
      if (!have_peer_.load(std::memory_order_relaxed)) {
        peer_ = from;  // written once, before the flag that publishes it
        have_peer_.store(true, std::memory_order_release);
      }
      std::size_t pos = 0;
      while (pos < static_cast<std::size_t>(n)) {
        const exchange::FrameScan scan =
            exchange::ScanForFrame(buffer + pos, static_cast<std::size_t>(n) - pos);
        if (scan.result != exchange::ScanResult::kWhole) break;
        Handle(buffer + pos + scan.start, scan.length, at);
        pos += scan.start + scan.length;
      }
    }
  }

  void Handle(const uint8_t* frame, std::size_t length, double at) {
    const uint8_t type = frame[4];
    if (type == exchange::kTypeLinkStatus && length > 6 && frame[6] == exchange::kLinkStatusKeepAlive) {
      const uint8_t answer = exchange::kLinkStatusAnswer;
      const exchange::Frame f =
          exchange::Frame::Make(exchange::kDestComputer, frame[3], exchange::kTypeLinkStatus, &answer, 1);
      std::lock_guard<std::mutex> guard(send_mutex_);
      socket_.SendTo(f.bytes, f.size, peer_);
    } else if (type == exchange::kTypeDcMotorPosition && length > 7) {
      // Release: the reader that sees the stamp sees the frame's arrival as done.
      motor_at_[frame[7]].store(at, std::memory_order_release);
    }
  }

  platform::UdpSocket socket_;
  platform::Ipv4Endpoint peer_;
  std::atomic<bool> have_peer_{false};  // release by the robot's thread once peer_ is set
  std::atomic<bool> stop_{false};       // set by the owner, read by the robot's thread each pass
  platform::Waker waker_;
  platform::Thread thread_;
  std::mutex send_mutex_;
  std::atomic<double> motor_at_[256] = {};
};

// The system's own floor for one hop: a datagram from one thread to another on 127.0.0.1, the
// receiver waiting as the relay's receive thread does. Half the median of 200 round trips.
double UdpHopMs() {
  platform::UdpSocket a, b;
  if (!a.Open() || !a.Bind({platform::Ipv4Loopback(), 0}) || !b.Open() ||
      !b.Bind({platform::Ipv4Loopback(), 0}))
    return 0;
  const platform::Ipv4Endpoint to_a{platform::Ipv4Loopback(), static_cast<uint16_t>(a.LocalPort())};
  const platform::Ipv4Endpoint to_b{platform::Ipv4Loopback(), static_cast<uint16_t>(b.LocalPort())};
  std::atomic<bool> stop{false};  // set by the measuring thread once its rounds are done
  platform::Waker never;
  platform::Thread echo;
  platform::StartThread(
      [&] {
        uint8_t byte[16];
        platform::Ipv4Endpoint from;
        while (!stop.load(std::memory_order_acquire))
          if (platform::WaitForInputOrWake(b.wait_handle(), never, 50) == platform::WaitResult::kInput &&
              b.ReceiveFrom(byte, sizeof byte, from) > 0)
            b.SendTo(byte, 1, to_a);
      },
      echo);
  std::vector<double> rounds;
  uint8_t byte[16] = {1};
  platform::Ipv4Endpoint from;
  for (int i = 0; i < 200; ++i) {
    const double at = NowMs();
    a.SendTo(byte, 1, to_b);
    if (platform::WaitForInputOrWake(a.wait_handle(), never, 1000) == platform::WaitResult::kInput &&
        a.ReceiveFrom(byte, sizeof byte, from) > 0)
      rounds.push_back(NowMs() - at);
  }
  stop.store(true, std::memory_order_release);
  echo.Join();
  return Percentile(rounds, 0.5) / 2;
}

std::string Ms(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f ms", ms);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: trevask-ring-bench RELAY [--label TEXT]\n");
    return 2;
  }
  std::string label = "this system";
  for (int i = 2; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--label") == 0) label = argv[i + 1];

  Robot robot;
  if (!robot.Open()) {
    std::fprintf(stderr, "trevask-ring-bench: no UDP socket on 127.0.0.1\n");
    return 2;
  }
  robot.Start();
  const std::string name = "ringbench" + std::to_string(platform::ProcessId());
  platform::ChildProcess relay;
  if (const platform::Result started =
          platform::StartChildProcess({argv[1], "--headless", "--wifi", "127.0.0.1", "--port",
                                       std::to_string(robot.port()), "--robot", name},
                                      relay);
      !started.ok()) {
    std::fprintf(stderr, "trevask-ring-bench: %s\n", started.message.c_str());
    robot.Stop();
    return 2;
  }

  control::CHeadlessHost host;
  control::CZembrinSDKControlCtrl ctl;
  ctl.AttachHost(&host);
  ctl.connectRobot(name);
  const bool up = host.RunUntil(
      [&] { return robot.HasPeer() && ctl.relay_state() == exchange::RelayState::kLinkUp; }, 20000);
  if (!up) {
    std::fprintf(stderr, "trevask-ring-bench: the relay did not bring the link up\n");
    robot.Stop();
    return 2;
  }

  // Robot to C handler: one reading at a time, at moments that fall anywhere in a 30 ms tick.
  std::vector<double> sent(256, 0);
  std::vector<double> latencies;
  int events = 0;
  ctl.SetEventSink([&](int id) {
    if (id != control::kStandardSensorEvent) return;
    ++events;
    latencies.push_back(NowMs() - sent[ctl.GetSensorSonar1() & 0xFF]);
  });
  for (int i = 0; i < 300; ++i) {
    sent[static_cast<std::size_t>(i & 0xFF)] = robot.SendReading(static_cast<uint8_t>(i));
    const std::size_t want = latencies.size() + 1;
    host.RunUntil([&] { return latencies.size() >= want; }, 2000);
    host.RunFor(3 + i % 11);
  }
  const std::size_t one_at_a_time = latencies.size();

  // A stream of 100 readings a second for three seconds: every one reaches the handler.
  events = 0;
  const double start = NowMs();
  for (int i = 0; i < 300; ++i) {
    const double due = start + i * 10.0;
    if (const double wait = due - NowMs(); wait >= 1) host.RunFor(static_cast<uint32_t>(wait));
    sent[static_cast<std::size_t>(i & 0xFF)] = robot.SendReading(static_cast<uint8_t>(i));
  }
  host.RunUntil([&] { return events >= 300; }, 3000);
  const int streamed = events;
  ctl.SetEventSink(nullptr);

  // A client's put to the frame's arrival at the robot.
  std::vector<double> puts;
  robot.ForgetMotorFrames();
  for (int i = 0; i < 200; ++i) {
    const auto mark = static_cast<uint8_t>(i);
    const double at = NowMs();
    ctl.DcMotorPositionNonTimeCtr(1, static_cast<int16_t>(mark));
    while (robot.MotorFrameAt(mark) == 0 && NowMs() - at < 2000) platform::Sleep(0);
    if (robot.MotorFrameAt(mark) != 0) puts.push_back(robot.MotorFrameAt(mark) - at);
    host.RunFor(2 + i % 7);
  }

  robot.Stop();
  relay.Stop();

  std::printf("| %s: robot to C handler, doorbell, p50 / p99 | %s / %s |\n", label.c_str(),
              Ms(Percentile(latencies, 0.5)).c_str(), Ms(Percentile(latencies, 0.99)).c_str());
  std::printf("| %s: client put to frame at the robot, p50 / p99 | %s / %s |\n", label.c_str(),
              Ms(Percentile(puts, 0.5)).c_str(), Ms(Percentile(puts, 0.99)).c_str());
  std::printf("| %s: floor, one UDP hop between two threads, p50 | %s |\n", label.c_str(),
              Ms(UdpHopMs()).c_str());
  std::printf("| %s: readings at 100/s reaching the handler | %d of 300 |\n", label.c_str(), streamed);

  // A wait paced by a tick would put the median near half of it (15 ms); the doorbell's is far below.
  bool ok = true;
  if (one_at_a_time < 300 || streamed < 300 || puts.size() < 200) {
    std::fprintf(
        stderr, "trevask-ring-bench: lost: %zu of 300 single readings, %d of 300 streamed, %zu of 200 puts\n",
        one_at_a_time, streamed, puts.size());
    ok = false;
  }
  if (Percentile(latencies, 0.5) > 5.0 || Percentile(puts, 0.5) > 5.0) {
    std::fprintf(stderr, "trevask-ring-bench: a median beyond 5 ms: the waits run at a tick's pace\n");
    ok = false;
  }
  return ok ? 0 : 1;
}
