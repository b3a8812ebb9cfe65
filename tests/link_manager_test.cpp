// The link manager against the simulated robot over real UDP sockets and pseudo-terminals, with the
// suite's time scale making the link's seconds into tens of milliseconds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>

#include "exchange/command_ring.h"
#include "exchange/crc8.h"
#include "exchange/frame.h"
#include "fake_transport.h"
#include "link_test_support.h"
#include "platform/clock.h"

namespace {

using testing_support::RecordingUi;
using testing_support::StartUdpSim;
using testing_support::UniqueRobot;
using testing_support::WaitUntil;
using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t dest, uint8_t type, const Bytes& payload) {
  Bytes f(exchange::kMaxFrame);
  f.resize(exchange::BuildFrame(f.data(), f.size(), dest, 0, type, payload.data(), payload.size()));
  return f;
}

std::vector<Bytes> FramesOfType(sim::SimRobot& robot, uint8_t type) {
  std::vector<Bytes> out;
  for (auto& f : robot.ReceivedFrames())
    if (f[4] == type) out.push_back(f);
  return out;
}

TEST(LinkManager, KeepAlivePairConnectsAndIsAcknowledged) {
  auto sim = StartUdpSim();
  ASSERT_TRUE(sim);
  RecordingUi ui(testing_support::WifiConfig(sim->UdpPort(), UniqueRobot("ka")));
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(WaitUntil([&] {
    return ui.Has("status:WiFi Connection: Connected, IP Port: " + std::to_string(sim->UdpPort()));
  }));

  // The robot may answer the first copy before it has read the second.
  ASSERT_TRUE(WaitUntil([&] { return FramesOfType(sim->robot(), 0xFF).size() >= 2; }));
  auto keep_alives = FramesOfType(sim->robot(), 0xFF);
  const uint8_t covered[] = {0x08, 0x31, 0xFF, 0x01, 0x00};
  EXPECT_EQ(keep_alives[0],
            (Bytes{0x5E, 0x02, 0x08, 0x31, 0xFF, 0x01, 0x00, exchange::Crc8(covered, 5), 0x5E, 0x0D}));
  Bytes second = keep_alives[0];
  second[2] = 0x01;
  second[7] = exchange::Crc8(second.data() + 2, 5);
  EXPECT_EQ(keep_alives[1], second) << "the second copy goes to the motion board with its own CRC";

  // The sim answers both copies: the first answer is acknowledged, the second finds the next
  // keep-alive due and is ignored.
  ASSERT_TRUE(WaitUntil([&] { return !FramesOfType(sim->robot(), 0x01).empty(); }));
  Bytes ack = FramesOfType(sim->robot(), 0x01)[0];
  EXPECT_EQ(ack.size(), 10u);
  EXPECT_EQ(ack[2], 0x08);
  EXPECT_EQ(ack[6], 0x01);
  EXPECT_EQ(ack[7], exchange::Crc8(ack.data() + 2, 5));

  EXPECT_TRUE(ui.Has("icon:141"));
  EXPECT_EQ(ui.Count("minimize"), 1);
  std::vector<std::string> status = ui.Matching("status:");
  ASSERT_GE(status.size(), 3u);
  EXPECT_EQ(status[0], "status:Wi-Fi Connection: Connecting...");
  EXPECT_EQ(status[1], "status:WiFi Connecting to IP Port: " + std::to_string(sim->UdpPort()));

  // A second round of keep-alives: sequence 0x32, and the window is minimized only once.
  ASSERT_TRUE(WaitUntil([&] { return FramesOfType(sim->robot(), 0xFF).size() >= 4; }));
  EXPECT_EQ(FramesOfType(sim->robot(), 0xFF)[2][3], 0x32);
  EXPECT_EQ(ui.Count("minimize"), 1);

  link.RequestStop();
  link.WaitForConnectionThread();
  EXPECT_EQ(ui.Matching("status:").back(), "status:WiFi Connection: Disconnected");
  EXPECT_EQ(ui.Events().back(), "icon:140");
  EXPECT_FALSE(link.GaveUp());
  EXPECT_GT(link.stats().accepted(0xFF), 0u);
  EXPECT_GT(link.stats().round_trips(), 0u);
}

TEST(LinkManager, SilentRobotLowersTheBarLosesTheLinkAndIsReconnected) {
  sim::SimOptions options;
  options.stop_answering_after = 1;
  options.silence_ms = 11000;  // silent through one loss, answering again by the reconnect
  auto sim = StartUdpSim(options);
  ASSERT_TRUE(sim);
  RecordingUi ui(testing_support::WifiConfig(sim->UdpPort(), UniqueRobot("loss")));
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(
      WaitUntil([&] { return ui.Has("status:WiFi Connection down, retry 2 seconds after!"); }, 20000));

  // After the answer the bar went 5, then 4, 3, 2, 1, 0 as the pairs went unanswered.
  std::vector<std::string> bars = ui.Matching("bar:");
  std::vector<std::string> tail(bars.end() - 5, bars.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"bar:4", "bar:3", "bar:2", "bar:1", "bar:0"}));
  EXPECT_TRUE(ui.Has("icon:140"));

  ASSERT_TRUE(WaitUntil([&] { return ui.Has("status:WiFi Connection: Reconnecting..."); }, 10000));
  ASSERT_TRUE(WaitUntil([&] { return ui.Count("minimize") == 2; }, 20000))
      << "the reconnected link answers again and the window is minimized once more";
  link.RequestStop();
  link.WaitForConnectionThread();
  EXPECT_FALSE(link.GaveUp());
}

// The link gives up alike over the fake transport and over the real one (a simulated robot that
// never answers over UDP, a device that does not exist): a Wi-Fi link at its third loss, a serial
// link at its fifth refused open, each with one message box and the link shown disconnected.
TEST(LinkManager, GivesUpAlikeOverTheFakeAndTheRealTransport) {
  setenv("TREVASK_COM9", "/nonexistent/trevask-test-port", 1);
  struct Row {
    const char* name;
    bool fake;
    bool wifi;
    const char* refused_note;  // serial: what each refused open notes
  } rows[] = {
      {"Wi-Fi, fake", true, true, nullptr},
      {"Wi-Fi, UDP to a silent robot", false, true, nullptr},
      {"serial, fake refusing", true, false, "note:the fake refused"},
      {"serial, a missing device", false, false,
       "note:/nonexistent/trevask-test-port: No such file or directory"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // Three runs of five missed answers each take a while at the suite's scale.
    testing_support::ScopedTimeScale scale(row.wifi ? 0.02 : platform::TimeScale());
    testing_support::FakeTransport fake;
    std::unique_ptr<testing_support::RunningSim> sim;
    relay::LinkConfig choices;
    if (row.wifi) {
      fake.SetAnswering(false);
      sim::SimOptions options;
      options.stop_answering_after = 0;
      if (!row.fake) {
        sim = StartUdpSim(options);
        ASSERT_TRUE(sim);
      }
      choices = testing_support::WifiConfig(row.fake ? 5000 : sim->UdpPort(), UniqueRobot("give"));
    } else {
      fake.RefuseOpens(100);
      choices.kind = relay::LinkKind::kSerial;
      choices.com_port = row.fake ? 3 : 9;
      choices.robot_id = UniqueRobot("give");
    }
    RecordingUi ui(choices);
    relay::CLinkManager link(ui);
    ui.Attach(&link);
    if (row.fake) link.SetTransport(&fake);
    ASSERT_TRUE(link.StartConnection());
    ASSERT_TRUE(WaitUntil([&] { return !link.ConnectionRunning(); }, 30000));
    EXPECT_TRUE(link.GaveUp());
    EXPECT_TRUE(ui.Has("disconnect"));
    const std::string port = std::to_string(row.wifi ? choices.udp_port : row.fake ? 3 : 9);
    if (row.wifi) {
      EXPECT_EQ(ui.Count("status:WiFi Connection down, retry 2 seconds after!"), 3);
      EXPECT_EQ(ui.Count("message:WiFi IP port " + port + " can't be opened for communication!\n"), 1);
      EXPECT_EQ(ui.Matching("status:").back(), "status:WiFi Connection: Disconnected");
      if (row.fake) {
        EXPECT_EQ(fake.opens(), 3) << "a run per loss, the third gives up";
        EXPECT_EQ(fake.closes(), 3);
      }
    } else {
      EXPECT_EQ(ui.Count("status:Serial Cable: Reconnecting..."), 4);
      EXPECT_EQ(ui.Count(row.refused_note), 5);
      EXPECT_EQ(ui.Count("message:COM port " + port + " can't be opened for communication!\n"), 1);
      EXPECT_EQ(ui.Matching("status:").back(), "status:Serial Cable: Disconnected");
      if (row.fake) {
        EXPECT_EQ(fake.opens(), 5);
        EXPECT_EQ(fake.keep_alives_sent(), 0);
      }
    }
  }
}

TEST(LinkManager, ShortComTextIsAWrongPortNumber) {
  relay::LinkConfig choices;
  choices.kind = relay::LinkKind::kSerial;
  choices.com_port = relay::ComPortFromBoxText("COM");  // as the port box gives it
  choices.robot_id = UniqueRobot("com");
  RecordingUi ui(choices);
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(WaitUntil([&] { return !link.ConnectionRunning(); }, 20000));
  EXPECT_EQ(ui.Count("message:Port Number is Wrong"), 5);
  EXPECT_TRUE(link.GaveUp());
}

TEST(LinkManager, SerialLinkOverAPseudoTerminal) {
  std::string path = "/tmp/trevask-test-pty-" + std::to_string(getpid());
  std::unique_ptr<sim::Wire> wire;
  const platform::Result opened = sim::OpenPtyWire(path, wire);
  ASSERT_TRUE(opened.ok()) << opened.message;
  testing_support::RunningSim sim(std::move(wire), {});
  setenv("TREVASK_COM7", path.c_str(), 1);
  relay::LinkConfig choices;
  choices.kind = relay::LinkKind::kSerial;
  choices.com_port = 7;
  choices.robot_id = UniqueRobot("pty");
  RecordingUi ui(choices);
  {
    relay::CSerialPort port;  // the port the relay would make itself, held here to look at
    relay::CLinkManager link(ui);
    ui.Attach(&link);
    link.SetTransport(&port);
    ASSERT_TRUE(link.StartConnection());
    ASSERT_TRUE(WaitUntil([&] { return ui.Has("status:Serial Cable: Connected, COM Port: 7"); }));
    EXPECT_TRUE(ui.Has("status:Serial Cable: Connecting to COM Port: 7"));
    EXPECT_TRUE(port.IsOpen());
    link.RequestStop();
    link.WaitForConnectionThread();
    EXPECT_FALSE(port.IsOpen()) << "the close steps run after the link loop, whatever ended it";
  }
  auto keep_alives = FramesOfType(sim.robot(), 0xFF);
  ASSERT_GE(keep_alives.size(), 2u);
  EXPECT_EQ(keep_alives[0][2], 0x08);
  EXPECT_EQ(keep_alives[1][2], 0x01);
}

class LinkedRobot : public testing_support::LinkedRobotFixture {
 protected:
  // Robot IDs longer than 29 characters are cut by the relay; keep ours short.
  void SetUp() override {
    Connect(UniqueRobot(
        std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()).substr(0, 12)));
  }
  void PutCommand(const Bytes& record) { PutRecord(record.data(), record.size()); }
};

TEST_F(LinkedRobot, CommandRecordReachesTheRobotByteForByte) {
  Bytes pwm = Frame(1, 0x05, {0x02, 0x2C, 0x01});
  PutCommand(pwm);
  ASSERT_TRUE(WaitUntil([&] { return !FramesOfType(sim_->robot(), 0x05).empty(); }));
  EXPECT_EQ(FramesOfType(sim_->robot(), 0x05)[0], pwm);
}

TEST_F(LinkedRobot, SensorStreamLandsInTheSection) {
  exchange::CRingConsumer standard, motor;
  ASSERT_EQ(standard.Open(robot_, exchange::SectionId::kStandardSensor), platform::Status::kOk);
  ASSERT_EQ(motor.Open(robot_, exchange::SectionId::kMotorSensor), platform::Status::kOk);
  PutCommand(Frame(1, 0x7D, {3}));     // three standard packets
  PutCommand(Frame(1, 0x7B, {0xFF}));  // an endless motor stream
  int standard_records = 0, motor_records = 0;
  ASSERT_TRUE(WaitUntil([&] {
    while (auto r = standard.Take()) {
      EXPECT_EQ(r.length, 40u);
      ++standard_records;
    }
    while (auto r = motor.Take()) {
      EXPECT_EQ(r.length, 33u);
      ++motor_records;
    }
    return standard_records >= 3 && motor_records >= 5;
  }));
  PutCommand(Frame(1, 0x7B, {0x00}));
  EXPECT_EQ(standard_records, 3);
}

TEST_F(LinkedRobot, VoiceWhileRecordingArrivesAsSegments) {
  exchange::CRingConsumer audio;
  ASSERT_EQ(audio.Open(robot_, exchange::SectionId::kAudio), platform::Status::kOk);
  PutCommand(Frame(8, 0x0B, {2}));
  exchange::RingRecord r;
  ASSERT_TRUE(WaitUntil([&] { return static_cast<bool>(r = audio.Take()); }));
  EXPECT_EQ(r.length, 8192u);
  PutCommand(Frame(8, 0x0C, {}));
  // A 440 Hz tone: the samples swing both ways with a sizeable amplitude.
  int16_t lo = 0, hi = 0;
  for (uint32_t i = 0; i + 1 < r.length; i += 2) {
    int16_t s;
    std::memcpy(&s, r.data() + i, 2);
    lo = std::min(lo, s);
    hi = std::max(hi, s);
  }
  EXPECT_GT(hi, 5000);
  EXPECT_LT(lo, -5000);
}

TEST_F(LinkedRobot, LinkStatusCodeTwoIsAcknowledged) {
  // Frames the robot would not normally send, put on the wire by the simulated robot.
  std::size_t acks_before = FramesOfType(sim_->robot(), 0x01).size();
  sim_->robot().Inject(Frame(0, 0xFF, {2}));
  ASSERT_TRUE(WaitUntil([&] { return FramesOfType(sim_->robot(), 0x01).size() > acks_before; }));
  sim_->robot().Inject(Frame(8, 0xFF, {2}));
  Bytes corrupt = Frame(0, 0x7D, Bytes(40, 1));
  corrupt[46] ^= 1;
  sim_->robot().Inject(corrupt);
  Bytes short_frame = Frame(0, 0x7D, Bytes(40, 1));
  short_frame[5] = 30;
  sim_->robot().Inject(short_frame);
  ASSERT_TRUE(WaitUntil([&] { return link_->stats().rejected(exchange::FrameVerdict::kBadSize) == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return link_->stats().rejected(exchange::FrameVerdict::kBadCrc) == 1; }));
  EXPECT_EQ(link_->stats().rejected(exchange::FrameVerdict::kNotForComputer), 1u);
}

}  // namespace

namespace {

// Another host (by default a socket on 127.0.0.2), aimed at the relay's port.
class Stranger {
 public:
  explicit Stranger(uint32_t host = 0x7F000002) {
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(host);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0;
  }
  // Datagrams that reached it so far.
  int Received() {
    uint8_t buf[512];
    while (::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++received_;
    return received_;
  }
  ~Stranger() { ::close(fd_); }
  bool bound() const { return bound_; }
  void SendTo(int port, const Bytes& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

 private:
  int fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  bool bound_ = false;
  int received_ = 0;
};

}  // namespace

// The relay's socket held by the test, to learn its port and where it sends.
class LinkedRobotOwnSocket : public LinkedRobot {
 protected:
  void SetUp() override {
    transport_ = &udp_;
    LinkedRobot::SetUp();
  }
  relay::CUdpEndpoint udp_;
};

TEST_F(LinkedRobotOwnSocket, AnotherHostCanNeitherDivertTheLinkNorFeedTheClients) {
  Stranger stranger;
  ASSERT_TRUE(stranger.bound());
  exchange::CRingConsumer standard;
  ASSERT_EQ(standard.Open(robot_, exchange::SectionId::kStandardSensor), platform::Status::kOk);
  const int port = udp_.LocalPort();
  ASSERT_NE(port, 0);
  stranger.SendTo(port, {});
  Bytes forged = Frame(0, 0x7D, Bytes(40, 0xEE));
  for (int i = 0; i < 20; ++i) stranger.SendTo(port, forged);
  ASSERT_TRUE(WaitUntil([&] { return link_->stats().foreign_datagrams() == 21; }));

  // The keep-alives still go to the robot, and the link stays up on its answers.
  const std::size_t keep_alives = FramesOfType(sim_->robot(), 0xFF).size();
  ASSERT_TRUE(WaitUntil([&] { return FramesOfType(sim_->robot(), 0xFF).size() >= keep_alives + 4; }));
  EXPECT_EQ(udp_.robot_address().address, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(udp_.robot_address().port, sim_->UdpPort());
  EXPECT_EQ(link_->stats().peer_changes(), 0u);
  EXPECT_FALSE(standard.Take()) << "no forged reading reaches the clients";
  EXPECT_FALSE(ui_->Has("icon:140"));
  EXPECT_NE(link_->stats().Format().find("dropped: 21"), std::string::npos);
}

// A process of the robot's own host sends valid frames from another port of the robot's address,
// while clients command the robot: the commands stay with the robot, which keeps answering, and no
// reading of that port reaches the clients. Each of its datagrams also ends in the first half of a
// reading whose second half the robot's own port sends: a half frame of one sender is never
// completed by another.
TEST_F(LinkedRobotOwnSocket, AnotherPortOfTheRobotsAddressCanNeitherTakeTheCommandsNorFeedTheClients) {
  Stranger other_port(INADDR_LOOPBACK);
  ASSERT_TRUE(other_port.bound());
  exchange::CRingConsumer standard;
  ASSERT_EQ(standard.Open(robot_, exchange::SectionId::kStandardSensor), platform::Status::kOk);
  exchange::CCommandWriter client;
  ASSERT_EQ(client.Open(robot_), platform::Status::kOk);
  const Bytes reading = Frame(0, 0x7D, Bytes(40, 0xEE));
  const std::size_t half = 20;
  Bytes datagram = reading;
  datagram.insert(datagram.end(), reading.begin(), reading.begin() + half);
  const Bytes rest(reading.begin() + half, reading.end());
  // After each second half the robot sends a frame of a type nobody handles: once the relay has
  // taken it, it has read that half too.
  const Bytes marker = Frame(0, 0x60, {});
  constexpr uint8_t kRounds = 100;
  for (uint8_t i = 0; i < kRounds; ++i) {
    other_port.SendTo(udp_.LocalPort(), datagram);
    sim_->robot().Inject(rest);
    sim_->robot().Inject(marker);
    ASSERT_TRUE(WaitUntil([&] { return link_->stats().accepted(0x60) == i + 1u; }));
    ASSERT_EQ(link_->stats().other_source(), i + 1u) << "the whole reading of the other port is refused";
    const Bytes pwm = Frame(1, 0x05, {1, i, 0});
    ASSERT_EQ(client.Put(pwm.data(), static_cast<uint32_t>(pwm.size())), exchange::PutStatus::kStored);
  }
  ASSERT_TRUE(WaitUntil([&] { return FramesOfType(sim_->robot(), 0x05).size() == kRounds; }))
      << FramesOfType(sim_->robot(), 0x05).size() << " of 100 commands reached the robot";
  int forged = 0;
  while (standard.Take()) ++forged;
  EXPECT_EQ(forged, 0) << "readings published from the other port, or completed by the robot's";
  EXPECT_EQ(link_->stats().accepted(0x7D), 0u);
  EXPECT_EQ(link_->stats().other_source(), kRounds);
  EXPECT_NE(link_->stats().Format().find("from another port of the robot's address: 100"), std::string::npos)
      << link_->stats().Format();
  EXPECT_EQ(other_port.Received(), 0);
  EXPECT_EQ(udp_.robot_address().port, sim_->UdpPort());
  EXPECT_EQ(link_->stats().peer_changes(), 0u);
  EXPECT_FALSE(ui_->Has("icon:140"));
}

TEST_F(LinkedRobot, LengthWordsBeyondTheSlotAreSkippedAndTheNextRecordStillGoesOut) {
  // Written straight into the ring, as a broken writer might: length words 81, 99 and 100 (each
  // slot's data a whole frame), then two good records, all published at once.
  const exchange::SectionSpec& spec = exchange::Spec(exchange::SectionId::kCommand);
  platform::SharedView view;
  ASSERT_EQ(testing_support::MapCommandSection(robot_, view), platform::Status::kOk);
  uint32_t head;
  std::memcpy(&head, view.data(), 4);
  const Bytes bad = Frame(1, 0x05, {0x01, 0x66, 0x00});
  const Bytes good = Frame(1, 0x05, {0x02, 0x2C, 0x01});
  const Bytes last = Frame(1, 0x05, {0x03, 0x2C, 0x01});
  uint32_t index = head;
  for (const auto& [length, data] : {std::pair{81u, &bad}, std::pair{99u, &bad}, std::pair{100u, &bad},
                                     std::pair{static_cast<uint32_t>(good.size()), &good},
                                     std::pair{static_cast<uint32_t>(last.size()), &last}}) {
    unsigned char* slot = view.data() + 8 + index * (spec.capacity + 4);
    std::memcpy(slot, &length, 4);
    std::memcpy(slot + 4, data->data(), data->size());
    index = (index + 1) % spec.slots;
  }
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(view.data()))
      .store(index, std::memory_order_release);
  // The last record goes out after all the others would have.
  ASSERT_TRUE(WaitUntil([&] { return FramesOfType(sim_->robot(), 0x05).size() >= 2; }));
  EXPECT_EQ(FramesOfType(sim_->robot(), 0x05), (std::vector<Bytes>{good, last}))
      << "the oversized records are not sent";
}

TEST_F(LinkedRobot, OneAcknowledgementPerAnsweredKeepAlivePair) {
  // The simulated robot answers both copies of every pair; only the first answer is acknowledged.
  ASSERT_TRUE(WaitUntil([&] { return link_->stats().round_trips() >= 3; }));
  link_->RequestStop();
  link_->WaitForConnectionThread();
  const std::size_t acks = FramesOfType(sim_->robot(), 0x01).size();
  const std::size_t pairs = FramesOfType(sim_->robot(), 0xFF).size() / 2;
  EXPECT_EQ(acks, link_->stats().round_trips()) << "one per answered pair";
  EXPECT_LE(acks, pairs);
  EXPECT_GE(sim_->robot().keep_alives_answered(), static_cast<int>(2 * acks) - 1)
      << "both copies were answered";
}

TEST(LinkManager, AnAnswerNobodyAwaitsIsNotAcknowledged) {
  RecordingUi ui(testing_support::WifiConfig(9, UniqueRobot("unsol")));
  relay::CLinkManager link(ui);
  // Before any keep-alive has gone out, the next one is due: an answer now is unsolicited.
  static_cast<relay::InboundHooks&>(link).OnKeepAliveAnswer();  // as the receive path calls it
  EXPECT_EQ(link.stats().bytes_out(), 0u) << "no acknowledgement sent";
  EXPECT_EQ(link.stats().round_trips(), 0u);
  EXPECT_FALSE(ui.Has("icon:141"));
}

TEST(LinkManager, WifiGivesUpAtTheFirstBindFailure) {
  // Address 0 makes the relay bind the port and wait for the robot; a taken port fails the bind.
  int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const int port = ntohs(a.sin_port);
  relay::LinkConfig choices = testing_support::WifiConfig(port, UniqueRobot("bind"));
  choices.ip_address = 0;
  RecordingUi ui(choices);
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(WaitUntil([&] { return !link.ConnectionRunning(); }));
  EXPECT_TRUE(link.GaveUp());
  EXPECT_EQ(ui.Count("note:UDP port " + std::to_string(port) + " cannot be opened"), 1) << "one attempt only";
  EXPECT_EQ(
      ui.Count("message:WiFi IP port " + std::to_string(port) + " can't be opened for communication!\n"), 1);
  ::close(holder);
}

TEST(RobotNames, CutToTwentyNineBytesOnACharacterBoundary) {
  bool shortened = true;
  EXPECT_EQ(relay::RobotPrefix("R1\nsecond line", shortened), "R1");
  EXPECT_FALSE(shortened);
  EXPECT_EQ(relay::RobotPrefix(std::string(29, 'a'), shortened), std::string(29, 'a'));
  EXPECT_FALSE(shortened);
  EXPECT_EQ(relay::RobotPrefix(std::string(33, 'a'), shortened), std::string(29, 'a'));
  EXPECT_TRUE(shortened);
  // 28 bytes, then a three-byte character straddling the limit: it goes whole.
  EXPECT_EQ(relay::RobotPrefix(std::string(28, 'a') + "\xE2\x82\xAC" + "b", shortened), std::string(28, 'a'));
  EXPECT_TRUE(shortened);
  EXPECT_EQ(relay::RobotPrefix(std::string(26, 'a') + "\xE2\x82\xAC" + "b", shortened),
            std::string(26, 'a') + "\xE2\x82\xAC");
}

TEST(RobotNames, TheRelaySaysWhenItCutsAName) {
  auto sim = StartUdpSim();
  ASSERT_TRUE(sim);
  const std::string name = UniqueRobot("long") + std::string(30, 'x');
  RecordingUi ui(testing_support::WifiConfig(sim->UdpPort(), name));
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(WaitUntil([&] { return ui.Has("minimize"); }));
  link.RequestStop();
  link.WaitForConnectionThread();
  EXPECT_EQ(ui.Count("note:the robot name is cut to 29 bytes: '" + name.substr(0, 29) + "'"), 1);
}
