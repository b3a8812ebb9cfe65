// trevask-bench: the system measured side by side in one run, printed as one table.
//
//   build/bench/trevask-bench
//
// Rows: the camera decoder against libjpeg-turbo; the receive path's throughput against a 115200-baud
// line and a 100 Mbit/s link; robot-to-handler latency through the relay, waiting on the doorbells
// and ticking every 30 ms, with a DDS round trip as the anchor where it is installed; a put's way to
// the robot; the relay's and a client's CPU use and wake-ups, idle and streaming; the audio upload's
// pacing against its 80 packets per second; what a put and its ring cost with and without a waiter,
// and the relay's system calls per record.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_common.h"
#include "bench/libjpeg_reference.h"
#include "control/control.h"
#include "control/headless_host.h"
#include "control/media/jpeg_decoder.h"
#include "control/media/vector_dispatch.h"
#include "exchange/acceptance.h"
#include "exchange/deframer.h"
#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "exchange/wave_file.h"
#include "platform/clock.h"
#include "platform/doorbell.h"
#include "platform/udp_socket.h"
#include "relay/link/inbound_dispatch.h"
#include "relay/link/link_manager.h"
#include "sim/camera_encoder.h"
#include "sim/robot.h"
#include "sim/sim_thread.h"

namespace {

using bench::AddRow;
using bench::Clock;
using bench::Fmt;
using bench::ProcStat;
using bench::Read;
using bench::Spawn;
using bench::Switches;
using bench::Us;

// ---- JPEG --------------------------------------------------------------------------------------

template <typename F>
double MedianUs(F&& body, int rounds, int per_round) {
  std::vector<double> s;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    for (int i = 0; i < per_round; ++i) body();
    s.push_back(Us(Clock::now() - t0) / per_round);
  }
  std::sort(s.begin(), s.end());
  return s[s.size() / 2];
}

// One picture through our decoder (its camera stream) and libjpeg-turbo's slow-integer decoder (a
// quality-70 JPEG with the same 2x1 chroma), side by side in alternating rounds. Ours runs the vector
// path the process chose (TREVASK_DECODER_PATH=scalar|sse2|avx2 asks for one), named beside its time.
void BenchJpegPicture(const char* name, const std::vector<uint8_t>& picture) {
  std::vector<uint8_t> rgb(sim::kFrameRgbBytes), luma(176 * 144);
  const std::vector<uint8_t> stream = sim::EncodeCameraFrame(picture.data());
  const std::vector<unsigned char> jpeg = libjpeg_reference::Encode(picture, 3, 70);
  media::CJpegImageDecoder decoder;
  auto ours = [&] {
    decoder.Reset(70);
    decoder.DecodeToRgb(stream.data(), static_cast<int>(stream.size()), rgb.data(), 144, 176, luma.data());
    decoder.Release();
  };
  std::vector<uint8_t> theirs_rgb(sim::kFrameRgbBytes);
  auto theirs = [&] { libjpeg_reference::Decode(jpeg, theirs_rgb, 3); };
  ours(), theirs();
  std::vector<double> a, b;
  for (int r = 0; r < 21; ++r) a.push_back(MedianUs(ours, 1, 40)), b.push_back(MedianUs(theirs, 1, 40));
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  const double o = a[a.size() / 2], t = b[b.size() / 2];
  AddRow(name, Fmt("%.0f us", o) + " (" + media::VectorPathName(media::DecoderKernelsInUse().path) + ")",
         Fmt("libjpeg-turbo %.0f us", t), Fmt("%.2f", o / t));
}

void BenchJpeg() {
  std::vector<uint8_t> picture(sim::kFrameRgbBytes);
  sim::RenderScene(12, picture.data());
  BenchJpegPicture("camera frame decode (176x144)", picture);
  libjpeg_reference::MakeGrey(picture);  // the same scene in grey
  BenchJpegPicture("camera frame decode, grey picture", picture);
}

// ---- Receive path ------------------------------------------------------------------------------

struct NoHooks : relay::InboundHooks {
  void OnKeepAliveAnswer() override {}
  void SendAcknowledgement() override {}
  void OnVoiceFlowControl() override {}
};

struct Sink : exchange::FrameSink {
  NoHooks hooks;
  relay::CInboundDispatch dispatch{hooks};
  void HandleFrame(const uint8_t* f, std::size_t n) override {
    if (exchange::CheckFrame(f, n) == exchange::FrameVerdict::kAccepted) dispatch.Dispatch(f, n);
  }
};

void BenchReceivePath() {
  Sink sink;
  relay::RelayProducers producers;
  const std::string robot = "bench" + std::to_string(getpid());
  producers.standard_sensor.Open(robot, exchange::SectionId::kStandardSensor);
  producers.motor_sensor.Open(robot, exchange::SectionId::kMotorSensor);
  sink.dispatch.SetProducers(&producers);
  std::vector<uint8_t> stream;
  uint8_t payload[40];
  for (int i = 0; i < 2000; ++i) {
    for (int k = 0; k < 40; ++k) payload[k] = static_cast<uint8_t>(i + k);
    exchange::Frame f = exchange::Frame::Make(
        exchange::kDestComputer, static_cast<uint8_t>(i),
        i % 2 ? exchange::kTypeStandardSensor : exchange::kTypeMotorSensor, payload, i % 2 ? 40 : 33);
    stream.insert(stream.end(), f.bytes, f.bytes + f.size);
  }
  exchange::CDeframer deframer;
  auto run = [&] {
    for (std::size_t at = 0; at < stream.size(); at += 1024)
      deframer.FeedBytes(stream.data() + at, std::min<std::size_t>(1024, stream.size() - at), sink);
  };
  run();
  const double us = MedianUs(run, 15, 5);
  const double mbps = static_cast<double>(stream.size()) / us;  // bytes per microsecond = MB/s
  AddRow("deframe + check + dispatch, back-to-back sensor frames", Fmt("%.0f MB/s", mbps),
         "115200 baud: 0.0115 MB/s; 100 Mbit/s: 12.5 MB/s",
         Fmt("%.0fx", mbps / 0.01152) + " / " + Fmt("%.1fx", mbps / 12.5));
}

// ---- Latency -----------------------------------------------------------------------------------

void BenchAudio() {
  auto sim = sim::StartUdpSim();
  const std::string robot = "lat" + std::to_string(getpid());
  relay::LinkConfig choices;
  choices.kind = relay::LinkKind::kWifi;
  choices.ip_address = platform::Ipv4Loopback();
  choices.udp_port = sim->UdpPort();
  choices.robot_id = robot;
  relay::NullLinkEvents ui(choices);
  relay::CLinkManager link(ui);
  link.StartConnection();
  while (!ui.connected()) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  control::CHeadlessHost host;
  control::CZembrinSDKControlCtrl ctl;
  ctl.AttachHost(&host);
  ctl.connectRobot(robot);
  host.RunFor(100);

  // Audio pacing: a 12-second file, long enough for a steady state past the first 200 packets.
  const std::string wav = "/tmp/trevask-bench-" + std::to_string(getpid()) + ".wav";
  {
    std::vector<int16_t> samples(96000);
    for (std::size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<int16_t>(8000 * std::sin(static_cast<double>(i) * 0.2));
    exchange::WriteWaveFile(wav, samples);
  }
  ctl.PlayAudioFile(wav);
  host.RunFor(200);
  while (link.AudioUploadRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::vector<uint32_t> t = sim->robot().VoiceArrivals();
  if (t.size() > 260) {
    // Steady state: from the 201st packet on, packets go out in windows of 20 that each last at
    // least 250 ms. The rate counts whole windows, first packet to first packet, so every window's
    // closing wait is inside the span (the last packet's arrival would leave the last wait out).
    std::vector<double> gaps;
    for (std::size_t i = 221; i < t.size(); ++i) gaps.push_back(static_cast<double>(t[i] - t[i - 1]));
    const std::size_t windows = (t.size() - 1 - 220) / 20;
    const double span = static_cast<double>(t[220 + 20 * windows] - t[220]) / 1000.0;
    const double rate = static_cast<double>(20 * windows) / span;
    const double mean = std::accumulate(gaps.begin(), gaps.end(), 0.0) / static_cast<double>(gaps.size());
    double var = 0;
    for (double g : gaps) var += (g - mean) * (g - mean);
    const double jitter = std::sqrt(var / static_cast<double>(gaps.size()));
    AddRow("audio upload pacing, steady state", Fmt("%.1f packets/s", rate) + Fmt(", jitter %.1f ms", jitter),
           "window of 20 per 250 ms: 80 packets/s", Fmt("%.2f", rate / 80.0));
  }
  std::remove(wav.c_str());
  link.RequestStop();
  link.WaitForConnectionThread();
}

// ---- Latency at the floor: doorbells against the tick ------------------------------------------

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(static_cast<double>(v.size()) * p))];
}

std::string P50P99(const std::vector<double>& ms) {
  return Fmt("%.3f ms", Percentile(ms, 0.5)) + " / " + Fmt("%.3f ms", Percentile(ms, 0.99));
}

// Wake-ups of the calling thread so far (its voluntary context switches).
long ThreadSwitches() {
  std::ifstream status("/proc/thread-self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(line.find(':') + 1));
  return 0;
}

double ThreadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The simulated robot on a thread of this process, a relay process linked to it, and a client
// control on a headless host of this process, once the robot answers the relay.
struct RelayedRobot {
  std::unique_ptr<sim::RunningSim> sim = sim::StartUdpSim();
  std::string robot;
  pid_t relay = -1;
  control::CHeadlessHost host;
  control::CZembrinSDKControlCtrl ctl;

  explicit RelayedRobot(std::string name) : robot(std::move(name)) {
    setenv("TREVASK_CONFIG_DIR", ("/tmp/trevask-bench-config-" + std::to_string(getpid())).c_str(), 1);
    relay = Spawn({TREVASK_BIN, "--headless", "--wifi", "127.0.0.1", "--port", std::to_string(sim->UdpPort()),
                   "--robot", robot});
    ctl.AttachHost(&host);
    ctl.connectRobot(robot);
    host.RunUntil([&] { return ctl.relay_state() == exchange::RelayState::kLinkUp; }, 10000);
  }
  ~RelayedRobot() {
    kill(relay, SIGTERM);
    waitpid(relay, nullptr, 0);
  }
  RelayedRobot(const RelayedRobot&) = delete;
  RelayedRobot& operator=(const RelayedRobot&) = delete;
};

// A relay process between the simulated robot (a thread of this process: it stamps when each
// datagram leaves) and clients in this process and in Python.
void BenchFloor() {
  RelayedRobot linked("floor" + std::to_string(getpid()));
  auto& sim = linked.sim;
  control::CHeadlessHost& host = linked.host;
  control::CZembrinSDKControlCtrl& ctl = linked.ctl;
  const pid_t relay = linked.relay;
  const std::string& robot = linked.robot;

  std::vector<Clock::time_point> sent(256);
  std::vector<double> latencies;
  ctl.SetEventSink([&](int id) {
    if (id != control::kStandardSensorEvent) return;
    latencies.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - sent[ctl.GetSensorSonar1() & 0xFF]).count());
  });
  auto send_reading = [&](int i) {
    uint8_t payload[40] = {};
    payload[0] = static_cast<uint8_t>(i);
    exchange::Frame f =
        exchange::Frame::Make(exchange::kDestComputer, 0, exchange::kTypeStandardSensor, payload, 40);
    sent[static_cast<std::size_t>(i & 0xFF)] = Clock::now();
    sim->robot().Inject(std::vector<uint8_t>(f.bytes, f.bytes + f.size));
  };
  for (bool ticking : {true, false}) {
    host.SetTicking(ticking);
    latencies.clear();
    for (int i = 0; i < (ticking ? 150 : 400); ++i) {
      send_reading(i);
      const std::size_t want = latencies.size() + 1;
      host.RunUntil([&] { return latencies.size() >= want; }, 1000);
      host.RunFor(3 + i % 11);  // arrivals fall anywhere within a tick
    }
    AddRow(ticking ? "robot to C handler, 30 ms tick, p50 / p99" : "robot to C handler, doorbell, p50 / p99",
           P50P99(latencies), ticking ? "bound 31 ms (one tick + one poll)" : "target 0.1 / 0.5 ms",
           ticking ? Fmt("%.2f", Percentile(latencies, 0.99) / 31.0)
                   : Fmt("%.2f", Percentile(latencies, 0.99) / 0.5));
  }

  // Python: the package's readings() on the same relay, its handler's moment against the send.
  {
    const std::string script = "/tmp/trevask-bench-" + std::to_string(getpid()) + ".py";
    const std::string out = script + ".out";
    {
      std::ofstream py(script);
      py << "import sys, time, talvenor\n"
            "ctl = talvenor.Control(sys.argv[1])\n"
            "open(sys.argv[2] + '.ready', 'w').close()\n"
            "seen = []\n"
            "for r in ctl.readings(timeout=3):\n"
            "    seen.append((r.sonar1 & 255, time.monotonic()))\n"
            "with open(sys.argv[2], 'w') as f:\n"
            "    f.write(''.join('%d %.9f\\n' % s for s in seen))\n";
    }
    setenv("PYTHONPATH", TREVASK_PYTHON_PATH, 1);
    setenv("TALVENOR_LIBRARY", TALVENOR_LIBRARY_FILE, 1);
    pid_t python = Spawn({"/usr/bin/python3", script, robot, out});
    for (int i = 0; i < 500 && access((out + ".ready").c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<double> stamps(256, 0);
    for (int i = 0; i < 200; ++i) {
      send_reading(i);
      stamps[static_cast<std::size_t>(i)] =
          std::chrono::duration<double>(sent[static_cast<std::size_t>(i)].time_since_epoch()).count();
      host.RunFor(5 + i % 7);
    }
    waitpid(python, nullptr, 0);
    std::ifstream in(out);
    std::vector<double> py_ms;
    int index = 0;
    double at = 0;
    while (in >> index >> at)
      if (index >= 0 && index < 200) py_ms.push_back((at - stamps[static_cast<std::size_t>(index)]) * 1000.0);
    if (!py_ms.empty())
      AddRow("robot to Python handler (readings()), doorbell, p50 / p99", P50P99(py_ms), "target p99 2 ms",
             Fmt("%.2f", Percentile(py_ms, 0.99) / 2.0));
    std::remove(script.c_str());
    std::remove(out.c_str());
    std::remove((out + ".ready").c_str());
  }

  // A client's put to the frame's arrival at the robot: the relay forwards on the command ring's ring.
  {
    std::vector<double> put_ms;
    for (int i = 0; i < 300; ++i) {
      std::size_t before = sim->robot().received_count();
      const auto start = Clock::now();
      ctl.DcMotorPositionNonTimeCtr(1, static_cast<int16_t>(i));
      // Yields rather than sleeps while it watches: a sleep's own slack would be measured.
      for (int spin = 0; spin < 2000000; ++spin) {
        const std::size_t now_count = sim->robot().received_count();
        if (now_count > before) {
          // Stamped first, then checked to be this put's frame and not a keep-alive.
          const auto arrived = Clock::now();
          const std::vector<std::vector<uint8_t>> frames = sim->robot().ReceivedFrames();
          bool mine = false;
          for (std::size_t k = before; k < frames.size(); ++k)
            mine = mine || (frames[k].size() > 7 && frames[k][4] == exchange::kTypeDcMotorPosition &&
                            frames[k][7] == static_cast<uint8_t>(i));
          if (mine) {
            put_ms.push_back(std::chrono::duration<double, std::milli>(arrived - start).count());
            break;
          }
          before = now_count;
        }
        std::this_thread::yield();
      }
      std::this_thread::sleep_for(std::chrono::microseconds(1000 + 997 * (i % 13)));
    }
    AddRow("client put to frame at the robot, p50 / p99", P50P99(put_ms),
           "target 0.1 / 0.5 ms (was: the 20 ms pass)", Fmt("%.2f", Percentile(put_ms, 0.99) / 0.5));
  }

  // Idle: the link up, nothing streaming; the relay's wake-ups and a waiting client's.
  {
    ctl.SetEventSink(nullptr);
    host.SetTicking(false);
    const long relay_before = Switches(relay);
    const long client_before = ThreadSwitches();
    host.RunFor(5000);
    const double relay_rate = static_cast<double>(Switches(relay) - relay_before) / 5.0;
    const double client_rate = static_cast<double>(ThreadSwitches() - client_before) / 5.0;
    AddRow("idle, robot connected: wake-ups of the relay / a waiting client",
           Fmt("%.1f/s", relay_rate) + Fmt(" / %.1f/s", client_rate), "target 3/s / 1/s",
           Fmt("%.2f", relay_rate / 3.0) + " / " + Fmt("%.2f", client_rate / 1.0));
  }
}

// strace attached to the relay for two and a half seconds while the host takes what comes: the
// relay's system calls (every thread's) per record the client took meanwhile, or why there is no
// figure.
std::string RelayCallsPerRecord(pid_t relay, control::CHeadlessHost& host, uint64_t& records) {
  const char* tool = "/usr/bin/strace";
  if (access(tool, X_OK) != 0) return "strace not installed";
  const std::string out = "/tmp/trevask-bench-strace-" + std::to_string(getpid());
  // strace counts from its attach to its detach: the records are counted over that same window
  // (from before the attach, which takes a few milliseconds), not over a part of it.
  records = 0;
  const pid_t tracer = Spawn({tool, "-c", "-f", "-o", out, "-p", std::to_string(relay)});
  host.RunFor(2500);
  const double taken = static_cast<double>(records);
  kill(tracer, SIGINT);  // detaches and writes its table
  waitpid(tracer, nullptr, 0);
  std::ifstream in(out);
  std::string line;
  double calls = 0;
  std::vector<std::pair<double, std::string>> by_call;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string pct, seconds, usecs, count, errors_or_name, name;
    if (!(fields >> pct >> seconds >> usecs >> count >> errors_or_name)) continue;
    if (!(fields >> name)) name = errors_or_name;
    if (pct.empty() || !std::isdigit(static_cast<unsigned char>(pct[0]))) continue;
    const double n = std::atof(count.c_str());
    if (name == "total")
      calls = n;
    else
      by_call.emplace_back(n, name);
  }
  std::remove(out.c_str());
  if (calls <= 0 || taken <= 0) return "strace did not attach";
  // Attaching slows the relay: the window's records are the ones the client took.
  std::sort(by_call.rbegin(), by_call.rend());
  std::string most;
  for (std::size_t i = 0; i < by_call.size() && i < 4; ++i)
    most += (i > 0 ? ", " : "") + by_call[i].second + Fmt(" %.2f", by_call[i].first / taken);
  return Fmt("%.2f", calls / taken) + " (" + most + Fmt("; %.0f records)", taken);
}

// The relay's and a waiting client's CPU while the robot streams 100 and 1000 records a second (more
// than its own sensor periods make: the frames are injected at the robot).
void BenchStreamingCpu() {
  for (int rate : {100, 1000}) {
    RelayedRobot linked("stream" + std::to_string(getpid()) + "_" + std::to_string(rate));
    auto& sim = linked.sim;
    control::CHeadlessHost& host = linked.host;
    control::CZembrinSDKControlCtrl& ctl = linked.ctl;
    const pid_t relay = linked.relay;
    uint64_t records = 0;
    ctl.SetEventSink([&](int) { ++records; });
    std::atomic<bool> streaming{true};  // relaxed: it only ends the robot's loop
    std::thread robot_side([&] {
      const uint8_t types[3] = {exchange::kTypeStandardSensor, exchange::kTypeMotorSensor,
                                exchange::kTypeCustomSensor};
      const uint8_t sizes[3] = {40, 33, 37};
      uint8_t payload[40] = {};
      auto next = Clock::now();
      for (int k = 0; streaming.load(std::memory_order_relaxed); ++k) {
        exchange::Frame f =
            exchange::Frame::Make(exchange::kDestComputer, 0, types[k % 3], payload, sizes[k % 3]);
        sim->robot().Inject(std::vector<uint8_t>(f.bytes, f.bytes + f.size));
        next += std::chrono::microseconds(1000000 / rate);
        std::this_thread::sleep_until(next);
      }
    });
    host.RunFor(1000);
    const double relay_before = Read(relay).cpu_s, client_before = ThreadCpuSeconds();
    records = 0;
    const double seconds = 5.0;
    host.RunFor(static_cast<uint32_t>(seconds * 1000));
    const double relay_pct = 100.0 * (Read(relay).cpu_s - relay_before) / seconds;
    const double client_pct = 100.0 * (ThreadCpuSeconds() - client_before) / seconds;
    const double taken = static_cast<double>(records) / seconds;
    // The relay's system calls per record, counted by strace in a window of their own after the CPU
    // window (tracing slows every call it counts).
    std::string calls_row;
    if (rate == 1000) calls_row = RelayCallsPerRecord(relay, host, records);
    streaming.store(false, std::memory_order_relaxed);
    robot_side.join();
    AddRow(Fmt("CPU at %.0f records/s: relay / waiting client", rate),
           Fmt("%.1f%%", relay_pct) + Fmt(" / %.1f%%", client_pct) + Fmt(", %.0f taken/s", taken) +
               Fmt(", lapped %.0f", static_cast<double>(ctl.Lapped(exchange::SectionId::kStandardSensor) +
                                                        ctl.Lapped(exchange::SectionId::kMotorSensor) +
                                                        ctl.Lapped(exchange::SectionId::kCustomSensor))),
           rate == 1000 ? "target relay 1.6% (half of 3.2%, the relay that woke every 20 ms)"
                        : "target relay 2% of a core",
           Fmt("%.2f", relay_pct / (rate == 1000 ? 1.6 : 2.0)));
    if (!calls_row.empty())
      AddRow("relay system calls per record at 1000 records/s (strace -c -f)", calls_row, "target 2", "-");
  }
}

// A waiting client while another process storms a ring's doorbell: it flips the word's low bit
// (the record count stays the same) and wakes every waiter, over and over. The client's CPU and
// wake-ups, and the way of the real records put meanwhile (one every 20 ms).
void BenchDoorbellStorm() {
  const std::string robot = "storm" + std::to_string(getpid());
  exchange::CRingProducer sensor;
  sensor.Open(robot, exchange::SectionId::kStandardSensor);
  control::CHeadlessHost host;
  control::CZembrinSDKControlCtrl ctl;
  ctl.AttachHost(&host);
  ctl.connectRobot(robot);
  std::vector<Clock::time_point> sent(256);
  std::vector<double> latencies;
  ctl.SetEventSink([&](int id) {
    if (id != control::kStandardSensorEvent) return;
    latencies.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - sent[ctl.GetSensorSonar1() & 0xFF]).count());
  });
  exchange::CRingConsumer hostile;  // the mapping the storm writes through (fork keeps it shared)
  hostile.Open(robot, exchange::SectionId::kStandardSensor);
  const platform::Doorbell word = hostile.Doorbell();
  const pid_t storm = fork();
  if (storm == 0) {
    auto w = std::atomic_ref<uint32_t>(*const_cast<uint32_t*>(word.word));
    for (;;) {
      w.fetch_xor(1, std::memory_order_relaxed);
      platform::RingDoorbell(word.word);
    }
  }
  std::atomic<bool> putting{true};  // relaxed: it only ends the producer's loop
  std::thread producer([&] {
    for (int i = 0; putting.load(std::memory_order_relaxed); ++i) {
      uint8_t payload[40] = {};
      payload[0] = static_cast<uint8_t>(i);
      sent[static_cast<std::size_t>(i & 0xFF)] = Clock::now();
      // The storm may leave the count odd; the record's own count still lands even.
      sensor.Put(payload, sizeof payload);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  host.RunFor(500);
  latencies.clear();
  const double cpu_before = ThreadCpuSeconds();
  const long switches_before = ThreadSwitches();
  const double seconds = 5.0;
  host.RunFor(static_cast<uint32_t>(seconds * 1000));
  const double cpu_pct = 100.0 * (ThreadCpuSeconds() - cpu_before) / seconds;
  const double wakes = static_cast<double>(ThreadSwitches() - switches_before) / seconds;
  putting.store(false, std::memory_order_relaxed);
  producer.join();
  kill(storm, SIGKILL);
  waitpid(storm, nullptr, 0);
  AddRow("waiting client under a doorbell storm: CPU, wake-ups; records' way p50 / p99",
         Fmt("%.1f%% CPU", cpu_pct) + Fmt(", %.0f wake-ups/s; ", wakes) + P50P99(latencies) +
             Fmt(", %.0f records", static_cast<double>(latencies.size())),
         "target 2% of a core", Fmt("%.2f", cpu_pct / 2.0));
}

// What a put costs the producer, its ring included: with nobody waiting on the ring's doorbell, and
// with a client thread waiting on it (each put then wakes it, and it waits again). Beside them, the
// wake call alone on a word nobody waits on (a word of this process's own, which always wakes):
// what every put paid while each ring made one.
void BenchPutRing() {
  const std::string robot = "putring" + std::to_string(getpid());
  exchange::CRingProducer producer;
  producer.Open(robot, exchange::SectionId::kStandardSensor);
  uint8_t payload[40] = {};
  auto put = [&] { producer.Put(payload, sizeof payload); };
  const double alone_ns = MedianUs(put, 15, 20000) * 1000.0;
  exchange::CRingConsumer waiter_ring;
  waiter_ring.Open(robot, exchange::SectionId::kStandardSensor);
  std::atomic<bool> waiting{true};  // relaxed: it only ends the waiter's loop
  std::thread waiter([&] {
    while (waiting.load(std::memory_order_relaxed)) {
      platform::Doorbell bell = waiter_ring.Doorbell();
      while (waiter_ring.Take()) {
      }
      platform::WaitForDoorbells(&bell, 1, 100);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const double waited_ns = MedianUs(put, 15, 20000) * 1000.0;
  waiting.store(false, std::memory_order_relaxed);
  waiter.join();
  uint32_t own_word = 0;
  const double wake_ns = MedianUs([&] { platform::RingDoorbell(&own_word); }, 15, 20000) * 1000.0;
  AddRow("a put and its ring, ns per put: nobody waiting / a client waiting",
         Fmt("%.0f ns", alone_ns) + Fmt(" / %.0f ns", waited_ns),
         Fmt("the wake call alone, nobody waiting: %.0f ns", wake_ns), Fmt("%.2f", alone_ns / wake_ns));
}

// The anchor: a small message's round trip between two processes through a DDS implementation
// (its performance tool, where installed: scripts/bench.sh installs it), one ping every 10 ms as
// the robot's readings come. ddsperf prints each second's percentiles; the row gives the medians
// of those seconds' p50 and p99.
void BenchDdsAnchor() {
  const char* tool = "/usr/bin/ddsperf";
  const std::string what =
      "anchor: DDS round trip between two processes (ddsperf -T K32 ping 100Hz), p50 / p99";
  if (access(tool, X_OK) != 0) {
    AddRow(what, "-", "not installed", "-");
    return;
  }
  pid_t pong = Spawn({tool, "-T", "K32", "pong"});
  const std::string out = "/tmp/trevask-bench-ddsperf-" + std::to_string(getpid());
  const std::string command = std::string(tool) + " -D 12 -T K32 ping 100Hz > " + out + " 2>&1";
  const int status = std::system(command.c_str());
  kill(pong, SIGTERM);
  waitpid(pong, nullptr, 0);
  std::ifstream in(out);
  std::string line;
  std::vector<double> p50, p99;
  auto after = [](const std::string& text, const char* key, std::vector<double>& into) {
    const std::size_t at = text.find(key);
    if (at != std::string::npos) into.push_back(std::atof(text.c_str() + at + std::strlen(key)) / 1000.0);
  };
  while (std::getline(in, line)) {
    if (line.find(" 50% ") == std::string::npos) continue;
    after(line, " 50% ", p50);
    after(line, " 99% ", p99);
  }
  std::remove(out.c_str());
  if (status != 0 || p50.empty()) {
    AddRow(what, "did not run", "-", "-");
    return;
  }
  AddRow(what, Fmt("%.3f ms", Percentile(p50, 0.5)) + " / " + Fmt("%.3f ms", Percentile(p99, 0.5)),
         "one round trip is two hops, as robot to handler is", "-");
}

// ---- Relay CPU use -----------------------------------------------------------------------------

void BenchRelayCpu() {
  const std::string port = std::to_string(47000 + getpid() % 1000);
  const std::string robot = "cpu" + std::to_string(getpid());
  setenv("TREVASK_CONFIG_DIR", ("/tmp/trevask-bench-config-" + std::to_string(getpid())).c_str(), 1);
  pid_t sim = Spawn({ROBOT_SIM_BIN, "--udp", "127.0.0.1:" + port, "--quiet", "--period", "10"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pid_t relay = Spawn({TREVASK_BIN, "--headless", "--wifi", "127.0.0.1", "--port", port, "--robot", robot});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  auto measure = [&](double seconds) {
    const ProcStat a = Read(relay);
    const long sa = Switches(relay);
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
    const ProcStat b = Read(relay);
    const long sb = Switches(relay);
    return std::pair<double, double>{100.0 * (b.cpu_s - a.cpu_s) / seconds,
                                     static_cast<double>(sb - sa) / seconds};
  };
  const auto idle = measure(3.0);
  // Streaming: three sensor kinds every 10 ms, through the relay into the sections.
  exchange::CCommandWriter commands;
  commands.Open(robot);
  const uint8_t all = 0xFF;
  exchange::Frame f = exchange::Frame::Make(exchange::kDestMotionBoard, 0, exchange::kTypeAllSensor, &all, 1);
  commands.Put(f.bytes, static_cast<uint32_t>(f.size));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto busy = measure(3.0);
  AddRow("relay CPU and wake-ups, idle (link up)",
         Fmt("%.1f%% CPU", idle.first) + Fmt(", %.0f wake-ups/s", idle.second),
         "target 3/s (was ~55/s: a link pass every 20 ms + keep-alive)", Fmt("%.2f", idle.second / 3.0));
  AddRow("relay CPU and wake-ups, 300 sensor frames/s",
         Fmt("%.1f%% CPU", busy.first) + Fmt(", %.0f wake-ups/s", busy.second), "-", "-");
  kill(relay, SIGTERM);
  kill(sim, SIGTERM);
  waitpid(relay, nullptr, 0);
  waitpid(sim, nullptr, 0);
}

// Eight robots, each with its relay and a client control, all idle with their links up: what the
// relays and the clients cost together.
void BenchFleetIdle() {
  constexpr int kRobots = 8;
  setenv("TREVASK_CONFIG_DIR", ("/tmp/trevask-bench-config-" + std::to_string(getpid())).c_str(), 1);
  std::vector<pid_t> sims, relays;
  std::vector<std::unique_ptr<control::CZembrinSDKControlCtrl>> controls;
  control::CHeadlessHost host;
  for (int i = 0; i < kRobots; ++i) {
    const std::string port = std::to_string(40000 + (getpid() % 2000) * 8 + i);
    const std::string robot = "fleet" + std::to_string(getpid()) + "_" + std::to_string(i);
    sims.push_back(Spawn({ROBOT_SIM_BIN, "--udp", "127.0.0.1:" + port, "--quiet"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    relays.push_back(
        Spawn({TREVASK_BIN, "--headless", "--wifi", "127.0.0.1", "--port", port, "--robot", robot}));
    controls.push_back(std::make_unique<control::CZembrinSDKControlCtrl>());
    controls.back()->AttachHost(&host);
    controls.back()->connectRobot(robot);
  }
  host.RunFor(2000);  // the links come up
  double relay_cpu_before = 0;
  for (pid_t r : relays) relay_cpu_before += Read(r).cpu_s;
  rusage self_before{};
  getrusage(RUSAGE_SELF, &self_before);
  const double seconds = 5.0;
  host.RunFor(static_cast<uint32_t>(seconds * 1000));
  rusage self_after{};
  getrusage(RUSAGE_SELF, &self_after);
  double relay_cpu_after = 0;
  for (pid_t r : relays) relay_cpu_after += Read(r).cpu_s;
  auto cpu_of = [](const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  const double relays_pct = 100.0 * (relay_cpu_after - relay_cpu_before) / seconds;
  const double clients_pct = 100.0 * (cpu_of(self_after) - cpu_of(self_before)) / seconds;
  AddRow("eight robots idle: their relays and clients together",
         Fmt("%.1f%% CPU", relays_pct + clients_pct) + Fmt(" (relays %.1f%%", relays_pct) +
             Fmt(", clients %.1f%%)", clients_pct),
         "target 2% of a core", Fmt("%.2f", (relays_pct + clients_pct) / 2.0));
  controls.clear();
  for (pid_t r : relays) kill(r, SIGTERM);
  for (pid_t r : relays) waitpid(r, nullptr, 0);
  for (pid_t s : sims) kill(s, SIGTERM);
  for (pid_t s : sims) waitpid(s, nullptr, 0);
}

}  // namespace

// With no argument every measurement runs; otherwise only those named: jpeg, receive, latency
// (robot to handler on the doorbell and on the tick, to Python, put to robot, idle wake-ups, CPU
// while streaming, the DDS anchor, and the audio pacing), cpu, fleet (eight idle robots), mqtt (the bridge:
// latency, calls, pictures, CPU), storm (a waiting client while another process storms a doorbell),
// mqtt-fleet (eight bridged robots on one broker, nothing lost), ros2 (robot to a ROS 2 subscriber,
// beside the DDS anchor).
int main(int argc, char** argv) {
  auto wanted = [&](const char* name) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i)
      if (std::strcmp(argv[i], name) == 0) return true;
    return false;
  };
  if (wanted("jpeg")) BenchJpeg();
  if (wanted("receive")) {
    BenchReceivePath();
    BenchPutRing();
  }
  if (wanted("latency")) {
    BenchFloor();
    BenchStreamingCpu();
    BenchDdsAnchor();
    BenchAudio();
  }
  if (wanted("cpu")) BenchRelayCpu();
  if (wanted("storm")) BenchDoorbellStorm();
  if (wanted("fleet")) BenchFleetIdle();
#ifdef TREVASK_BENCH_MQTT
  if (wanted("mqtt")) bench::BenchMqtt();
  if (wanted("mqtt-fleet")) bench::BenchMqttFleet();
#endif
#ifdef TREVASK_BENCH_ROS2
  if (wanted("ros2")) {
    if (argc >= 2 && !wanted("latency")) BenchDdsAnchor();  // its anchor, in the same run
    bench::BenchRos2();
  }
#endif
  std::printf("| measurement | this system | anchor | ratio |\n|---|---|---|---|\n");
  for (const bench::Row& r : bench::g_rows)
    std::printf("| %s | %s | %s | %s |\n", r.what.c_str(), r.ours.c_str(), r.anchor.c_str(), r.ratio.c_str());
  return 0;
}
