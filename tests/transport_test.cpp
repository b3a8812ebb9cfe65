#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "relay/transport/link_status.h"
#include "relay/transport/serial_port.h"
#include "relay/transport/udp_endpoint.h"
#include "wait_support.h"

namespace {

// A plain UDP socket on 127.0.0.1 (or another loopback address) standing in for the robot.
struct Peer {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  explicit Peer(uint32_t host = INADDR_LOOPBACK) {
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(host);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  }
  ~Peer() { ::close(fd); }
  int port() const { return ntohs(addr.sin_port); }
  void SendTo(int port, const std::string& text) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  std::string Receive() {
    char buf[5000];
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
};

int PollUntilReadable(relay::CUdpEndpoint& udp) {
  for (int i = 0; i < 2000; ++i) {
    int r = udp.PollReadable();
    if (r == relay::kPollReadable) return r;
  }
  return udp.PollReadable();
}

std::string KeepAlive() {
  const uint8_t answered = 1;
  const exchange::Frame f = exchange::Frame::Make(1, 0x31, exchange::kTypeLinkStatus, &answered, 1);
  return std::string(reinterpret_cast<const char*>(f.bytes), f.size);
}

// The relay's side of the robot's address: what it reads, as the receive path hands it frames.
int ReadFrameOf(relay::CUdpEndpoint& udp, uint8_t data_type) {
  uint8_t buf[4096];
  if (PollUntilReadable(udp) != relay::kPollReadable) return -1;
  const int n = udp.Receive(buf, sizeof buf);
  if (n > 0) udp.FrameAccepted(data_type);
  return n;
}

// Any process of the robot's host can send from another port of the robot's address. The relay
// keeps the port the robot speaks from, and follows a new one only when the old one went quiet and
// the new one answered a keep-alive.
TEST(UdpEndpoint, FollowsANewPortOnlyWhenTheOldWentQuietAndTheNewAnswersAKeepAlive) {
  Peer robot, other, restarted;
  relay::CUdpEndpoint udp;
  ASSERT_TRUE(udp.Open(htonl(INADDR_LOOPBACK), robot.port()));
  EXPECT_EQ(udp.LocalPort(), 0) << "not bound before the first send";
  EXPECT_EQ(udp.PollWritable(), relay::kPollWritable);
  EXPECT_EQ(udp.PollReadable(), 1) << "only in the write set";
  EXPECT_EQ(udp.SendDatagram(reinterpret_cast<const uint8_t*>("x"), 0), 0);
  EXPECT_EQ(udp.SendDatagram(reinterpret_cast<const uint8_t*>("hello"), 5), 5);
  EXPECT_EQ(robot.Receive(), "hello");
  ASSERT_NE(udp.LocalPort(), 0);
  auto send = [&](const std::string& text) {
    return udp.Send(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
  };

  robot.SendTo(udp.LocalPort(), KeepAlive());
  ASSERT_EQ(ReadFrameOf(udp, exchange::kTypeLinkStatus), static_cast<int>(KeepAlive().size()));
  for (int i = 0; i < 3; ++i) {  // another port, speaking and even answering, while the robot speaks
    other.SendTo(udp.LocalPort(), KeepAlive());
    ASSERT_GT(ReadFrameOf(udp, exchange::kTypeLinkStatus), 0);
    ASSERT_EQ(send(KeepAlive()), relay::LinkStatus::kOk);
    EXPECT_EQ(robot.Receive(), KeepAlive());
  }
  EXPECT_EQ(udp.robot_address().port, robot.port()) << "the port the robot speaks from is kept";
  EXPECT_EQ(udp.peer_changes(), 0u);

  {  // The robot restarts and speaks from a new port; the old one is quiet from now on.
    testing_support::ScopedTimeScale quick(0.01);
    // The old port stays quiet for the time that lets the relay follow another one.
    platform::Sleep(relay::CUdpEndpoint::kPortQuietMs);
    restarted.SendTo(udp.LocalPort(), KeepAlive());
    ASSERT_GT(ReadFrameOf(udp, 0x7D), 0);
    EXPECT_EQ(udp.robot_address().port, robot.port()) << "a candidate until it answers a keep-alive";
    ASSERT_EQ(send("not a keep-alive"), relay::LinkStatus::kOk);
    EXPECT_EQ(robot.Receive(), "not a keep-alive") << "nothing but keep-alives goes to a candidate";
    ASSERT_EQ(send(KeepAlive()), relay::LinkStatus::kOk);
    EXPECT_EQ(restarted.Receive(), KeepAlive()) << "the keep-alive asks the candidate too";
    restarted.SendTo(udp.LocalPort(), KeepAlive());
    ASSERT_GT(ReadFrameOf(udp, exchange::kTypeLinkStatus), 0);
  }
  EXPECT_EQ(udp.robot_address().port, restarted.port()) << "followed once it answered";
  EXPECT_EQ(udp.peer_changes(), 1u) << "and the change is counted";
  ASSERT_EQ(send("again"), relay::LinkStatus::kOk);
  EXPECT_EQ(restarted.Receive(), "again");
  udp.Close();
  EXPECT_FALSE(udp.IsOpen());
}

TEST(UdpEndpoint, DatagramsFromOtherHostsAreDroppedAndCounted) {
  Peer robot;
  Peer stranger(0x7F000002);  // 127.0.0.2: another host as far as the relay can tell
  relay::CUdpEndpoint udp;
  ASSERT_TRUE(udp.Open(htonl(INADDR_LOOPBACK), robot.port()));
  ASSERT_EQ(udp.SendDatagram(reinterpret_cast<const uint8_t*>("hello"), 5), 5);
  ASSERT_EQ(robot.Receive(), "hello");
  stranger.SendTo(udp.LocalPort(), "");
  stranger.SendTo(udp.LocalPort(), "forged");
  uint8_t buf[4096];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(PollUntilReadable(udp), relay::kPollReadable);
    EXPECT_EQ(udp.Receive(buf, sizeof buf), 0) << "nothing of it reaches the caller";
  }
  EXPECT_FALSE(udp.HasPendingSource());
  udp.FrameAccepted(exchange::kTypeLinkStatus);
  EXPECT_EQ(udp.foreign_datagrams(), 2u);
  EXPECT_EQ(udp.robot_address().address, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(udp.robot_address().port, robot.port());
  EXPECT_EQ(udp.SendDatagram(reinterpret_cast<const uint8_t*>("still"), 5), 5);
  EXPECT_EQ(robot.Receive(), "still");
}

// One read takes every datagram waiting and hands them out one at a time; the reader is told when
// the socket is empty, so it waits rather than reading again to find nothing.
TEST(UdpEndpoint, ReadsEveryWaitingDatagramAndSaysWhenItEmptiedTheSocket) {
  struct Row {
    const char* name;
    std::vector<std::string> queued;  // "!" before a datagram: it comes from another host
    std::vector<std::string> read;    // what the reader gets, in order, until a read finds nothing
    int emptied_at;                   // the read after which the socket counts as emptied
  };
  const std::string many[20] = {"0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",
                                "10", "11", "12", "13", "14", "15", "16", "17", "18", "19"};
  const Row rows[] = {
      {"one", {"a"}, {"a"}, 0},
      {"another host's and an empty one among them", {"a", "!x", "", "bc"}, {"a", "bc"}, 1},
      {"more than one batch", {std::begin(many), std::end(many)}, {std::begin(many), std::end(many)}, 19},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Peer robot;
    Peer stranger(0x7F000002);
    relay::CUdpEndpoint udp;
    ASSERT_TRUE(udp.Open(htonl(INADDR_LOOPBACK), robot.port()));
    ASSERT_EQ(udp.SendDatagram(reinterpret_cast<const uint8_t*>("hello"), 5), 5);
    ASSERT_EQ(robot.Receive(), "hello");
    for (const std::string& d : row.queued)
      d.rfind('!', 0) == 0 ? stranger.SendTo(udp.LocalPort(), d.substr(1)) : robot.SendTo(udp.LocalPort(), d);
    ASSERT_EQ(PollUntilReadable(udp), relay::kPollReadable);
    uint8_t buf[4096];
    for (std::size_t i = 0; i < row.read.size(); ++i) {
      const int n = udp.ReadAvailable(buf, sizeof buf);
      ASSERT_GT(n, 0) << "read " << i;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n)), row.read[i]);
      EXPECT_EQ(udp.Emptied(), static_cast<int>(i) >= row.emptied_at) << "after read " << i;
    }
    EXPECT_EQ(udp.ReadAvailable(buf, sizeof buf), 0);
    EXPECT_TRUE(udp.Emptied());
  }
}

// The reader waits in its read: the call returns as soon as a datagram is there, with every one
// waiting then, and a stop from the thread that closes the link wakes a reader blocked in it at
// once, without a datagram. A stopped endpoint opened again waits and reads as before.
TEST(UdpEndpoint, AWaitingReadTakesABatchAndAStopWakesItAtOnce) {
  // A minute of real time: a read that waited it out instead of returning is told apart.
  const uint32_t minute = static_cast<uint32_t>(60000 / platform::TimeScale());
  const auto seconds_taken = [](const auto& call) {
    const double start = platform::MonotonicSeconds();
    call();
    return platform::MonotonicSeconds() - start;
  };
  Peer robot;
  relay::CUdpEndpoint udp;
  uint8_t buf[4096];
  for (const char* round : {"first open", "opened again after a stop"}) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(udp.Open(htonl(INADDR_LOOPBACK), robot.port()));
    ASSERT_EQ(udp.SendDatagram(reinterpret_cast<const uint8_t*>("hello"), 5), 5);
    ASSERT_EQ(robot.Receive(), "hello");
    for (const char* d : {"a", "bc", "d"}) robot.SendTo(udp.LocalPort(), d);
    int taken = 0;
    EXPECT_LT(seconds_taken([&] { taken = udp.WaitAndTake(minute); }), 10.0);
    EXPECT_EQ(taken, 3);
    for (const char* d : {"a", "bc", "d"}) {
      const int n = udp.ReadAvailable(buf, sizeof buf);
      ASSERT_GT(n, 0);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n)), d);
    }
    EXPECT_TRUE(udp.Emptied());

    std::atomic<pid_t> reader_id{0};
    std::atomic<int> woken_with{-2};  // seq_cst: test bookkeeping between two threads
    std::thread reader([&] {
      reader_id = static_cast<pid_t>(::syscall(SYS_gettid));
      woken_with = udp.WaitAndTake(minute);
    });
    // Blocked in the batch receive: the thread, past its last step before the read, sleeps. (The
    // system's record of the call a thread sleeps in is the emulator's own under an emulator, so
    // the sleep is read from the thread's state instead.)
    const auto in_receive = [&] {
      if (reader_id == 0) return false;
      std::ifstream stat_file("/proc/self/task/" + std::to_string(reader_id.load()) + "/stat");
      std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
      const std::size_t name_end = stat.rfind(')');
      return name_end != std::string::npos && name_end + 2 < stat.size() && stat[name_end + 2] == 'S';
    };
    // EXPECT, not ASSERT: the stop below also ends the reader when it never blocked, so it can be joined.
    EXPECT_TRUE(testing_support::WaitUntil(in_receive, 10000)) << "the reader never blocked in its read";
    udp.StopWaiting();
    EXPECT_TRUE(testing_support::WaitUntil([&] { return woken_with != -2; }, 10000))
        << "the stop did not wake it";
    reader.join();
    EXPECT_EQ(woken_with, 0) << "a stop is no datagram";
    EXPECT_EQ(udp.ReadAvailable(buf, sizeof buf), 0);
    EXPECT_EQ(udp.foreign_datagrams(), 0u);
    EXPECT_LT(seconds_taken([&] { taken = udp.WaitAndTake(minute); }), 10.0)
        << "a stopped endpoint waits no more";
    EXPECT_EQ(taken, 0);
    udp.Close();
  }
}

TEST(UdpEndpoint, AddressZeroBindsAndWaitsForTheRobot) {
  Peer robot;
  // Find a free port by binding and releasing one.
  int port;
  {
    Peer probe;
    port = probe.port();
  }
  relay::CUdpEndpoint udp;
  ASSERT_TRUE(udp.Open(0, port));
  EXPECT_EQ(udp.LocalPort(), port);
  EXPECT_EQ(udp.SendDatagram(reinterpret_cast<const uint8_t*>("x"), 1), 0) << "no robot known yet";
  robot.SendTo(port, std::string(4096, 'z'));
  ASSERT_EQ(PollUntilReadable(udp), relay::kPollReadable);
  uint8_t buf[4096];
  EXPECT_EQ(udp.ReadAvailable(buf, sizeof buf), 4096);
  EXPECT_EQ(udp.SendDatagram(reinterpret_cast<const uint8_t*>("x"), 1), 0)
      << "no frame has vouched for the sender yet";
  udp.FrameAccepted(exchange::kTypeStandardSensor);
  EXPECT_EQ(udp.SendDatagram(reinterpret_cast<const uint8_t*>("ok"), 2), 2);
  EXPECT_EQ(robot.Receive(), "ok");

  relay::CUdpEndpoint second;
  EXPECT_FALSE(second.Open(0, port)) << "the port is taken: the bind fails and nothing stays open";
  EXPECT_FALSE(second.IsOpen());
  for (int beyond : {port + 65536, -1}) {
    EXPECT_FALSE(second.Open(htonl(INADDR_LOOPBACK), beyond)) << beyond << " is no UDP port: it would wrap";
    EXPECT_FALSE(second.IsOpen());
  }
}

// Sending, connecting and taking up a robot's rings fail in the one status type of the link, each
// way with its own words; a closed transport takes nothing and says so.
TEST(LinkStatus, EveryFailureHasItsOwnText) {
  const relay::LinkStatus failures[] = {
      relay::LinkStatus::kNotReady,     relay::LinkStatus::kSendFailed,
      relay::LinkStatus::kPortFailed,   relay::LinkStatus::kHandshakeFailed,
      relay::LinkStatus::kSectionError, relay::LinkStatus::kClaimedElsewhere,
  };
  std::set<std::string> texts = {relay::LinkStatusText(relay::LinkStatus::kOk)};
  for (relay::LinkStatus status : failures) {
    const std::string text = relay::LinkStatusText(status);
    EXPECT_NE(text, "unknown");
    EXPECT_TRUE(texts.insert(text).second) << text;
  }
  EXPECT_STREQ(relay::LinkStatusText(static_cast<relay::LinkStatus>(std::size(failures) + 1)), "unknown");

  relay::CUdpEndpoint closed;
  const uint8_t byte = 0;
  EXPECT_EQ(closed.Send(&byte, 1), relay::LinkStatus::kNotReady);
}

TEST(UdpEndpoint, ParsesOnlyIpv4Addresses) {
  uint32_t a = 0;
  EXPECT_TRUE(relay::ParseIpv4("192.168.0.20", a));
  EXPECT_EQ(a, htonl(0xC0A80014));
  EXPECT_FALSE(relay::ParseIpv4("192.168.0", a));
  EXPECT_FALSE(relay::ParseIpv4("robot.local", a));
  EXPECT_FALSE(relay::ParseIpv4("", a));
}

TEST(SerialPort, DeviceNamesFollowTheComNumber) {
  unsetenv("TREVASK_COM3");
  EXPECT_EQ(relay::ComDeviceName(3), "/dev/ttyS2");
  setenv("TREVASK_COM3", "/dev/pts/77", 1);
  EXPECT_EQ(relay::ComDeviceName(3), "/dev/pts/77");
  unsetenv("TREVASK_COM3");

  int n = relay::AssignComNumber("/dev/ttyUSB9");
  ASSERT_GT(n, 0);
  EXPECT_EQ(relay::ComDeviceName(n), "/dev/ttyUSB9");
  EXPECT_EQ(relay::AssignComNumber("/dev/ttyUSB9"), n) << "the same device keeps its number";
}

class PtyPair : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_ = ptsname(master_);
  }
  void TearDown() override { ::close(master_); }
  int master_ = -1;
  std::string slave_;
};

// A user who may not open the device is told which group to join. Needs root, to be that user.
TEST_F(PtyPair, ARefusedDeviceNamesTheGroupToJoin) {
  const passwd* nobody = getpwnam("nobody");
  const group* dialout = getgrnam("dialout");
  if (geteuid() != 0 || nobody == nullptr || dialout == nullptr)
    GTEST_SKIP() << "needs root, nobody and dialout";
  ASSERT_EQ(chown(slave_.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(slave_.c_str(), 0660), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(90);
    relay::CSerialPort port;
    if (port.OpenPath(slave_)) _exit(1);
    const std::string& e = port.last_error();
    const bool named = e.find("Permission denied") != std::string::npos &&
                       e.find("belongs to group 'dialout'") != std::string::npos &&
                       e.find("usermod -aG dialout") != std::string::npos;
    _exit(named ? 0 : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(PtyPair, ReadsOnlyWhatHasArrivedAtMostTheAskedCount) {
  relay::CSerialPort port;
  ASSERT_TRUE(port.OpenPath(slave_)) << port.last_error();
  uint8_t buf[4096];
  EXPECT_EQ(port.Read(buf, 1024), 0u) << "nothing waiting: no read at all";
  std::vector<uint8_t> data(3000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(::write(master_, data.data(), data.size()), 3000);
  uint32_t got = 0;
  ASSERT_TRUE(testing_support::WaitUntil([&] { return (got = port.Read(buf, 1024)) != 0; }, 1000));
  EXPECT_EQ(got, 1024u);
  EXPECT_EQ(0, std::memcmp(buf, data.data(), 1024));
  uint32_t total = got;
  testing_support::WaitUntil([&] { return (total += port.Read(buf, 1024)) >= 3000; }, 1000);
  EXPECT_EQ(total, 3000u);

  const uint8_t frame[] = {0x5E, 0x02, 0x08, 0x00, 0x01, 0x01, 0x01, 0x0F, 0x5E, 0x0D};
  EXPECT_TRUE(port.Write(frame, sizeof frame));
  uint8_t echo[10];
  ASSERT_EQ(::read(master_, echo, sizeof echo), 10);
  EXPECT_EQ(0, std::memcmp(echo, frame, 10)) << "raw mode: bytes pass unchanged";

  relay::CSerialPort second;
  EXPECT_FALSE(second.OpenPath(slave_)) << "a port is opened by one program at a time";
  EXPECT_NE(second.last_error().find("in use"), std::string::npos);

  EXPECT_TRUE(port.CloseIfOpen());
  EXPECT_FALSE(port.IsOpen());
  port.Close();  // closing a closed port does nothing
  EXPECT_FALSE(port.CloseIfOpen());
}

TEST_F(PtyPair, WriteThatCannotCompleteTimesOutWithTheDebuggerLine) {
  relay::CSerialPort port;
  ASSERT_TRUE(port.OpenPath(slave_));
  std::vector<std::string> lines;
  platform::SetDebugObserver([&](std::string_view l) { lines.emplace_back(l); });
  // Nobody reads the master: the terminal's buffers fill and the write runs out of time.
  {
    testing_support::ScopedTimeScale quick(0.01);  // the budget is 2 ms a byte + 500 ms
    std::vector<uint8_t> big(40000, 0x55);
    EXPECT_EQ(port.Write(big.data(), static_cast<int>(big.size())), 0);
  }
  platform::SetDebugObserver({});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Probable Write Timeout: Total of ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[0].find("Total of 40000 bytes"), std::string::npos);
  port.Close();
}

TEST(SerialPortErrors, MissingDeviceAndNonTerminalAreRefusedWithAReason) {
  relay::CSerialPort port;
  setenv("TREVASK_COM12", "/nonexistent/tty", 1);
  EXPECT_FALSE(port.Open(12));
  EXPECT_EQ(port.last_error(), "/nonexistent/tty: No such file or directory");
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.OpenPath("/dev/null"));
  EXPECT_NE(port.last_error().find("not a serial device"), std::string::npos);
}

}  // namespace
