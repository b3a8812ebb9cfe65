// The headless relay and the simulated robot as the separate programs a user runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "exchange/frame.h"
#include "exchange/protocol.h"
#include "exchange/sections.h"
#include "process_support.h"
#include "program_folder.h"
#include "relay/link/recording.h"
#include "wait_support.h"

namespace {

using testing_support::ChildProcess;

const std::string kRelay = TREVASK_BIN;
const std::string kSim = ROBOT_SIM_BIN;
const std::string kSections = SECTIONS_BIN;
// The programs run at the tests' own time scale (0.05 when run by hand).
const std::string kScale =
    std::string("TREVASK_TIME_SCALE=") +
    (std::getenv("TREVASK_TIME_SCALE") != nullptr ? std::getenv("TREVASK_TIME_SCALE") : "0.05");
// Every relay of these tests keeps its settings in a folder of its own, never in the user's, and
// starts without any saved link.
const std::string kConfigDir =
    testing_support::AddProgramFolder("/tmp/trevask-test-config-" + std::to_string(getpid()));
const std::string kConfig = "TREVASK_CONFIG_DIR=" + kConfigDir;

// The event of a log line: what follows "2026-12-08 17:26:34.123 info    ". Empty when the line does
// not have the time and the level in front. (Read by hand: GCC 12 warns inside std::regex in the sanitizer
// builds.)
std::string Event(const std::string& line) {
  const std::string pattern = "dddd-dd-dd dd:dd:dd.ddd ";
  if (line.size() < pattern.size()) return {};
  for (std::size_t i = 0; i < pattern.size(); ++i)
    if (pattern[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != pattern[i])
      return {};
  const std::string rest = line.substr(pattern.size());
  for (const char* level : {"error", "warning", "notice", "info", "debug"}) {
    const std::string name = level;
    if (rest.compare(0, name.size(), name) != 0 || rest.size() < 8 || rest[7] != ' ') continue;
    const std::size_t text = rest.find_first_not_of(' ', name.size());
    return text == std::string::npos ? std::string() : rest.substr(text);
  }
  return {};
}

int SimPort(const ChildProcess& sim) {
  for (const auto& l : sim.lines()) {
    auto at = l.find("ready on udp 127.0.0.1:");
    if (at != std::string::npos) return std::stoi(l.substr(l.rfind(':') + 1));
  }
  return 0;
}

TEST(Headless, WifiRelayConnectsPublishesSensorRecordsAndStopsOnSigterm) {
  ChildProcess sim({kSim, "--udp", "127.0.0.1:0", "--period", "50"}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on udp"));
  const std::string port = std::to_string(SimPort(sim));
  const std::string robot = "H" + std::to_string(getpid());
  // --opt=value forms; a link option is enough without --headless; -v adds the debug lines.
  ChildProcess relay({kRelay, "--wifi=127.0.0.1", "--port=" + port, "--robot", robot, "-v"},
                     {kScale, kConfig});
  ASSERT_TRUE(relay.WaitForLine("WiFi Connection: Connected, IP Port: " + port)) << relay.err();
  EXPECT_EQ(Event(relay.lines().at(0)), "Wi-Fi Connection: Connecting...");
  EXPECT_TRUE(relay.HasLine("WiFi Connecting to IP Port: " + port));
  EXPECT_TRUE(relay.HasLine("debug   link: up"));
  for (const std::string& line : relay.lines()) {
    EXPECT_FALSE(Event(line).empty()) << "every line has its time and level: " << line;
    EXPECT_EQ(line.find("window"), std::string::npos) << "nothing of a window: " << line;
    EXPECT_EQ(line.find("icon"), std::string::npos) << line;
  }

  // A client's sensor request, put into the command section by the section tool's counterpart: the
  // relay forwards it and the records come back into the standard sensor section.
  ChildProcess watch(
      {kSections, "--robot", robot, "--sections", "sensor", "--count", "2", "--timeout", "20000"},
      {kScale, kConfig});
  const std::string sensor_file = "/dev/shm" + exchange::SectionObjectName(robot, "SensorShareMem_Zembrin");
  ASSERT_TRUE(testing_support::WaitUntil([&] { return watch.Maps(sensor_file); }))
      << "the watcher has the section open before the request that fills it";
  ChildProcess put({kSections, "--robot", robot, "--put-command", "5E 02 01 00 7D 01 FF C3 5E 0D"},
                   {kScale, kConfig});
  EXPECT_EQ(put.Wait(), 0) << put.err();
  EXPECT_EQ(watch.Wait(), 0) << watch.err();
  EXPECT_TRUE(watch.HasLine("SensorShareMem_Zembrin len=40:"));
  EXPECT_TRUE(sim.WaitForLine(
      "received EnableStandardSensorSending (dest 1, type 0x7D): 5E 02 01 00 7D 01 FF C3 5E 0D"));

  relay.Signal(SIGUSR1);
  EXPECT_TRUE(relay.WaitForLine("--- link statistics ---"));
  relay.Signal(SIGTERM);
  EXPECT_EQ(relay.Wait(), 0);
  EXPECT_TRUE(relay.HasLine("WiFi Connection: Disconnected"));
  EXPECT_TRUE(relay.HasLine("type 0x7D (StandardSensor)"));

  // The address and port of the run were saved; the next run finds the port there.
  FILE* f = std::fopen((kConfigDir + "/Trevask.ini").c_str(), "r");
  ASSERT_NE(f, nullptr);
  char text[256] = {};
  std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  EXPECT_EQ(std::string(text), "WiFiIP=127.0.0.1\nWiFiPort=" + port + "\nBTAddress=000000000000");
}

// What a client names reaches the log as one line, and a log read through a pipe whose reader went
// away does not end the relay.
TEST(Headless, TheLogKeepsAClientsTextOnOneLineAndOutlivesAClosedPipe) {
  ChildProcess sim({kSim, "--udp", "127.0.0.1:0"}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on udp"));
  const std::string robot = "Hp" + std::to_string(getpid());
  ChildProcess relay(
      {kRelay, "--wifi", "127.0.0.1", "--port", std::to_string(SimPort(sim)), "--robot", robot},
      {kScale, kConfig});
  ASSERT_TRUE(relay.WaitForLine("Connected")) << relay.err();
  ChildProcess put({kSections, "--robot", robot, "--put-text", "/tmp/none\nforged line"}, {kScale, kConfig});
  EXPECT_EQ(put.Wait(), 0) << put.err();
  ASSERT_TRUE(relay.WaitForError("/tmp/none\\nforged line")) << relay.err();
  EXPECT_EQ(relay.err().find("\nforged line"), std::string::npos) << "no line of the log is the client's";

  relay.CloseOutput();
  relay.Signal(SIGUSR1);  // the statistics go to standard output
  ASSERT_TRUE(relay.WaitForError("standard output is closed")) << relay.err();
  EXPECT_EQ(relay.Wait(200), -1) << "the relay goes on";
  relay.Signal(SIGTERM);
  EXPECT_EQ(relay.Wait(), 0);
  EXPECT_NE(access(("/dev/shm" + exchange::SectionObjectName(robot, "SensorShareMem_Zembrin")).c_str(), F_OK),
            0)
      << "and leaves no section behind when it ends";
}

TEST(Headless, ASecondRelayForTheSameRobotNameRefusesAndLeavesTheFirstAlone) {
  ChildProcess sim({kSim, "--udp", "127.0.0.1:0", "--period", "50"}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on udp"));
  const std::string port = std::to_string(SimPort(sim));
  const std::string robot = "Twice" + std::to_string(getpid());
  ChildProcess first({kRelay, "--headless", "--wifi", "127.0.0.1", "--port", port, "--robot", robot},
                     {kScale, kConfig});
  ASSERT_TRUE(first.WaitForLine("WiFi Connection: Connected, IP Port: " + port)) << first.err();

  ChildProcess second({kRelay, "--headless", "--wifi", "127.0.0.1", "--port", port, "--robot", robot},
                      {kScale, kConfig});
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(second.err().find("Robot '" + robot + "' is already served by another relay."), std::string::npos)
      << second.err();
  EXPECT_FALSE(second.HasLine("WiFi Connecting to IP Port: " + port)) << "not a byte went to the robot";

  // The first still forwards: a command put now reaches the robot.
  ChildProcess put({kSections, "--robot", robot, "--put-command", "5E 02 01 00 7D 01 FF C3 5E 0D"},
                   {kScale, kConfig});
  EXPECT_EQ(put.Wait(), 0) << put.err();
  EXPECT_TRUE(sim.WaitForLine("received EnableStandardSensorSending"));
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_FALSE(first.HasLine("link quality: 4")) << "the first relay missed no keep-alive answer";
}

// The section tool's puts: a record that cannot be put is its own exit status (3), told apart from
// a mistake in the arguments (2), so that a script can tell a robot nobody serves from a typo.
TEST(Headless, TheSectionToolTellsAFailedPutFromABadArgument) {
  ChildProcess sim({kSim, "--udp", "127.0.0.1:0"}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on udp"));
  const std::string robot = "Put" + std::to_string(getpid());
  ChildProcess relay(
      {kRelay, "--headless", "--wifi", "127.0.0.1", "--port", std::to_string(SimPort(sim)), "--robot", robot},
      {kScale, kConfig});
  ASSERT_TRUE(relay.WaitForLine("Connected")) << relay.err();
  const std::string frame = "5E 02 01 00 7D 01 FF C3 5E 0D";
  std::vector<std::string> forty_puts = {kSections, "--robot", robot};
  for (int i = 0; i < 40; ++i) forty_puts.insert(forty_puts.end(), {"--put-command", frame});
  const struct {
    const char* what;
    std::vector<std::string> argv;
    bool relay_stopped;  // the relay holds the ring but reads nothing: 23 records fill it
    int status;
    std::string says;
  } kCases[] = {
      {"served", {kSections, "--robot", robot, "--put-command", frame}, false, 0, ""},
      {"no relay",
       {kSections, "--robot", robot + "x", "--put-command", frame},
       false,
       3,
       "no relay serves robot '" + robot + "x'; nothing was put (relays here serve "},
      {"too long",
       {kSections, "--robot", robot, "--put-text", std::string(81, 'a')},
       false,
       2,
       "a command record holds at most 80 bytes, not 81"},
      {"not hex",
       {kSections, "--robot", robot, "--put-command", "5E 0G"},
       false,
       2,
       "is not a list of hex bytes"},
      {"full", forty_puts, true, 3,
       "record 24 of 40 was not put: the command section stayed full (its relay does not read it)"},
  };
  for (const auto& c : kCases) {
    if (c.relay_stopped) relay.Signal(SIGSTOP);
    ChildProcess put(c.argv, {kScale, kConfig});
    EXPECT_EQ(put.Wait(), c.status) << c.what << ": " << put.err();
    EXPECT_NE(put.err().find(c.says), std::string::npos) << c.what << ": " << put.err();
    if (c.relay_stopped) relay.Signal(SIGCONT);
  }
  EXPECT_TRUE(sim.WaitForLine("received EnableStandardSensorSending")) << "the served put reached the robot";
  relay.Signal(SIGTERM);
  EXPECT_EQ(relay.Wait(), 0);
}

TEST(Headless, SerialPathThroughAPseudoTerminal) {
  const std::string link = "/tmp/trevask-headless-pty-" + std::to_string(getpid());
  ChildProcess sim({kSim, "--pty", link}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on pty"));
  ChildProcess relay({kRelay, "--headless", "--serial", link, "--robot", "P" + std::to_string(getpid())},
                     {kScale, kConfig});
  ASSERT_TRUE(relay.WaitForLine("Serial Cable: Connected, COM Port: ")) << relay.err();
  relay.Signal(SIGINT);
  EXPECT_EQ(relay.Wait(), 0);
  EXPECT_TRUE(relay.HasLine("Serial Cable: Disconnected"));
}

TEST(Headless, BluetoothModuleThroughAPseudoTerminal) {
  const std::string link = "/tmp/trevask-headless-bt-" + std::to_string(getpid());
  ChildProcess sim({kSim, "--pty", link, "--bluetooth"}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("behind a Bluetooth module"));
  ChildProcess relay({kRelay, "--headless", "--bluetooth", link, "--bt-address", "0012AB34CD56", "--robot",
                      "Bt" + std::to_string(getpid())},
                     {kScale, kConfig});
  ASSERT_TRUE(relay.WaitForLine("Wireless Connection: Connected, COM Port: ")) << relay.err();
  EXPECT_EQ(Event(relay.lines().at(0)), "Bluetooth Connection: Connecting...");
  EXPECT_TRUE(std::any_of(relay.lines().begin(), relay.lines().end(), [&](const std::string& l) {
    const std::string text = Event(l),
                      head = "Wireless Connection: Connected, COM Port: ", tail = " (" + link + ")";
    return text.rfind(head, 0) == 0 && text.size() > head.size() + tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0 &&
           std::isdigit(static_cast<unsigned char>(text[head.size()]));
  })) << "the device path beside the COM number it was given";
  relay.Signal(SIGTERM);
  EXPECT_EQ(relay.Wait(), 0);
  EXPECT_TRUE(relay.HasLine("BT Connection: Disconnected"));
}

TEST(Headless, FirmwareUploadPrintsProgressAndEnds) {
  const std::string link = "/tmp/trevask-headless-fw-" + std::to_string(getpid());
  const std::string hex = "/tmp/trevask-headless-fw-" + std::to_string(getpid()) + ".hex";
  {
    FILE* f = std::fopen(hex.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("S00600004844521B\nS1130000285F245F2212226A000424290008237C2A\nS9030000FC\n", f);
    std::fclose(f);
  }
  ChildProcess sim({kSim, "--pty", link}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on pty"));
  ChildProcess relay(
      {kRelay, "--headless", "--serial", link, "--firmware", hex, "--robot", "Fw" + std::to_string(getpid())},
      {kScale, kConfig});
  EXPECT_EQ(relay.Wait(60000), 0) << relay.err();
  EXPECT_TRUE(relay.HasLine("firmware: line 1 of 3"));
  EXPECT_TRUE(relay.HasLine("firmware: line 3 of 3"));
  EXPECT_TRUE(relay.HasLine("firmware: upload finished"));
  EXPECT_TRUE(relay.HasLine("notice  message: Upgrading succeeds!"));
  EXPECT_TRUE(sim.WaitForLine("firmware upload complete: 3 lines, 0 bad"));
  std::remove(hex.c_str());
}

TEST(Headless, GivingUpExitsNonZeroWithTheMessages) {
  ChildProcess relay({kRelay, "--headless", "--serial", "COM9", "--robot", "Gu" + std::to_string(getpid())},
                     {kScale, kConfig, "TREVASK_COM9=/nonexistent/ttyX"});
  EXPECT_EQ(relay.Wait(), 1);
  EXPECT_NE(relay.err().find("error   message: COM port 9 can't be opened for communication!"),
            std::string::npos)
      << relay.err();
  EXPECT_NE(relay.err().find("warning /nonexistent/ttyX: No such file or directory"), std::string::npos);
  EXPECT_TRUE(relay.HasLine("Serial Cable: Disconnected"));
}

TEST(Headless, ArgumentsAPersonCanFix) {
  // A firmware file is read whole before anything starts: a pipe or a device is refused, never
  // waited on or read for ever.
  const std::string fifo = "/tmp/trevask-test-fifo-" + std::to_string(getpid()) + ".hex";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--headless", "--wifi", "10.0.0", "--port", "5000"}, "'10.0.0' is not an IPv4 address"},
      {{"--headless", "--wifi", "127.0.0.1"}, "Please Input IP Port Number"},
      {{"--headless", "--wifi", ""}, "Please Input IP address"},
      {{"--headless"}, "choose a link"},
      {{"--headless", "--bogus"}, "unknown argument '--bogus'"},
      {{"--wifi=127.0.0.1", "stray"}, "unknown argument 'stray'"},
      {{"--wifi=10.0.0", "--port=5000"}, "'10.0.0' is not an IPv4 address"},
      {{"--wifi", "127.0.0.1", "--port"}, "--port needs a value"},
      {{"-c", "/nonexistent/trevask.conf"}, "/nonexistent/trevask.conf: "},
      {{"--wifi", "127.0.0.1", "--port", "5", "--group=no-such-group-here"}, "--group: there is no group"},
      {{"--headless", "--wifi", "127.0.0.1", "--port", "abc"}, "Please Input IP Port Number"},
      {{"--headless", "--wifi", "127.0.0.1", "--port", "1", "--firmware", "x.hex"},
       "needs a serial or Bluetooth link"},
      {{"--headless", "--serial", "COM1", "--wifi", "127.0.0.1"}, "choose one link"},
      {{"--headless", "--wifi", "127.0.0.1", "--port", "70000"}, "'70000' is not a UDP port (1 to 65535)"},
      {{"--headless", "--wifi", "127.0.0.1", "--port", "65536"}, "'65536' is not a UDP port"},
      {{"--headless", "--wifi", "127.0.0.1", "--port", "-5"}, "'-5' is not a UDP port"},
      {{"--serial", "COM0"}, "'COM0' is not a COM port: COM1 to COM255"},
      {{"--serial", "COM256"}, "'COM256' is not a COM port"},
      {{"--serial", "COM"}, "'COM' is not a COM port"},
      {{"--serial", "COM1x"}, "'COM1x' is not a COM port"},
      {{"--bluetooth", "COM1", "--bt-address", "zz"},
       "'zz' is not a Bluetooth address: 12 hexadecimal digits"},
      {{"--bluetooth", "COM1", "--bt-address", "0012AB34CD5G"}, "'0012AB34CD5G' is not a Bluetooth address"},
      {{"--bluetooth", "COM1", "--bt-address", "0012AB34CD567"},
       "'0012AB34CD567' is not a Bluetooth address"},
      {{"--serial", "COM1", "--bt-address", "12:34"}, "'12:34' is not a Bluetooth address"},
      {{"--serial", "COM1", "--firmware", "/dev/zero"}, "--firmware /dev/zero: not a regular file"},
      {{"--serial", "COM1", "--firmware", fifo}, "--firmware " + fifo + ": not a regular file"},
      {{"--serial", "COM1", "--firmware", "/nonexistent/robot.hex"},
       "--firmware /nonexistent/robot.hex: no such file"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {kRelay};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess relay(argv, {kConfig, "TREVASK_COM1=/nonexistent/ttyX"});
    EXPECT_EQ(relay.Wait(), 2) << c.args.back();
    EXPECT_NE(relay.err().find(c.message), std::string::npos) << relay.err();
  }
  std::remove(fifo.c_str());
  ChildProcess help({kRelay, "--help"}, {kConfig});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_TRUE(help.HasLine("usage: trevask [--headless]"));
  ChildProcess version({kRelay, "--version"}, {kConfig});
  EXPECT_EQ(version.Wait(), 0);
  ASSERT_FALSE(version.lines().empty());
  const std::string v = version.lines()[0];
  EXPECT_EQ(v.rfind("trevask ", 0), 0u) << v;
  EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 2) << "trevask MAJOR.MINOR.PATCH: " << v;
}

// A configuration file as a service reads it: the file's mistakes are named with their line.
TEST(Headless, ConfigurationFileMistakesNameTheFileAndLine) {
  const std::string conf = "/tmp/trevask-test-" + std::to_string(getpid()) + ".conf";
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"link = wifi\naddress = 127.0.0.1\nspeed = 9\n", conf + ":3: unknown key 'speed'"},
      {"# a robot\nlink = carrier-pigeon\n",
       conf + ":2: link is wifi, serial or bluetooth, not 'carrier-pigeon'"},
      {"link = wifi\n", conf + ": link = wifi needs an address"},
      {"link = serial\n", conf + ": link = serial needs a device"},
      {"link = wifi\naddress = 127.0.0.1\nport = 99999\n", "the port '99999' is not a UDP port"},
      {"link wifi\n", conf + ":1: expected key = value"},
      {"log_level = loud\n", conf + ":1: log_level is error, warning, notice, info or debug, not 'loud'"},
      // What the file says and what takes effect never differ: a NUL would cut the group's name.
      {std::string("group = root\0zz\n", 16), conf + ":1: a control character (byte 0) in the line"},
      {"robot = a\nrobot = b\n", conf + ":2: robot is given twice (first on line 1)"},
      {"robot = \"open\n", conf + ":1: the quotes of the value do not close"},
  };
  for (const Case& c : cases) {
    std::ofstream(conf) << c.text;
    chmod(conf.c_str(), 0644);
    ChildProcess relay({kRelay, "-c", conf}, {kConfig});
    EXPECT_EQ(relay.Wait(), 2) << c.text;
    EXPECT_NE(relay.err().find(c.message), std::string::npos) << relay.err();
  }
  std::ofstream(conf) << "link = wifi\naddress = 127.0.0.1\nport = 5000\n";
  chmod(conf.c_str(), 0666);
  ChildProcess open_to_all({kRelay, "-c", conf}, {kConfig});
  EXPECT_EQ(open_to_all.Wait(), 2);
  EXPECT_NE(open_to_all.err().find("anyone may change this file"), std::string::npos) << open_to_all.err();
  std::remove(conf.c_str());
}

TEST(Headless, AConfigurationFileGivesTheLinkAndTheCommandLineOverridesIt) {
  ChildProcess sim({kSim, "--udp", "127.0.0.1:0"}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on udp"));
  const std::string port = std::to_string(SimPort(sim));
  const std::string conf = "/tmp/trevask-test-run-" + std::to_string(getpid()) + ".conf";
  const std::string config_dir = "/tmp/trevask-test-noini-" + std::to_string(getpid());
  std::filesystem::remove_all(config_dir);  // nothing left by an earlier program with this number
  std::ofstream(conf) << "# the robot beside the lab's computer\nlink = wifi\naddress = 127.0.0.1\nport = "
                      << port << "\nrobot = FromFile\nlog_level = warning\n";
  const std::string robot = "Cf" + std::to_string(getpid());
  // --robot and -v override the file's robot name and log level.
  ChildProcess relay({kRelay, "-c", conf, "--robot=" + robot, "-v"},
                     {kScale, "TREVASK_CONFIG_DIR=" + config_dir});
  ASSERT_TRUE(relay.WaitForLine("WiFi Connection: Connected, IP Port: " + port)) << relay.err();
  ChildProcess put({kSections, "--robot", robot, "--put-command", "5E 02 01 00 7D 01 FF C3 5E 0D"}, {kScale});
  EXPECT_EQ(put.Wait(), 0) << put.err() << " (the sections are named after the command line's robot)";
  EXPECT_TRUE(sim.WaitForLine("received EnableStandardSensorSending"));
  relay.Signal(SIGTERM);
  EXPECT_EQ(relay.Wait(), 0);
  struct stat st {};
  EXPECT_NE(stat((config_dir + "/Trevask.ini").c_str(), &st), 0)
      << "a run from a file leaves Trevask.ini alone";
  std::remove(conf.c_str());
  std::filesystem::remove_all(config_dir);
}

// A session recorded by the relay, decoded by the capture tools, and replayed into another robot's
// sections: a client there gets the same records in the same order, with their timing.
TEST(Headless, ARecordedSessionReplaysToAClientAndTheCaptureToolsDecodeIt) {
  const std::string recording = "/tmp/trevask-test-session-" + std::to_string(getpid()) + ".pcapng";
  // The robot sends a standard record every 50 ms of real time; the relay's own waits are scaled.
  ChildProcess sim({kSim, "--udp", "127.0.0.1:0", "--period", "50"}, {"TREVASK_TIME_SCALE=1", kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on udp"));
  const std::string port = std::to_string(SimPort(sim));
  const std::string robot = "Rec" + std::to_string(getpid());
  ChildProcess relay({kRelay, "--wifi", "127.0.0.1", "--port", port, "--robot", robot, "--record", recording},
                     {"TREVASK_TIME_SCALE=0.2", kConfig});
  ASSERT_TRUE(relay.WaitForLine("WiFi Connection: Connected")) << relay.err();
  exchange::CRingConsumer watched;  // what a client sees, each record recorded before it is passed on
  ASSERT_EQ(watched.Open(robot, exchange::SectionId::kStandardSensor), platform::Status::kOk);
  ChildProcess put({kSections, "--robot", robot, "--put-command", "5E 02 01 00 7D 01 FF C3 5E 0D"}, {kScale});
  EXPECT_EQ(put.Wait(), 0) << put.err();
  int passed_on = 0;
  auto twelve_passed_on = [&] {
    while (watched.Take()) ++passed_on;
    return passed_on >= 12;
  };
  ASSERT_TRUE(testing_support::WaitUntil(twelve_passed_on)) << passed_on << " standard records";
  relay.Signal(SIGTERM);
  EXPECT_EQ(relay.Wait(), 0);
  EXPECT_TRUE(relay.HasLine("frames recorded into " + recording));

  std::vector<relay::RecordedFrame> frames;
  const platform::Result read = relay::ReadRecording(recording, frames);
  ASSERT_TRUE(read.ok()) << read.message;
  std::vector<std::vector<uint8_t>> sent_records;  // the payloads of the robot's standard records
  std::vector<uint64_t> sent_at;
  bool keep_alive_out = false, request_out = false;
  for (const auto& f : frames) {
    if (f.bytes.size() < 9) continue;
    if (f.direction == relay::Direction::kOutbound) {
      keep_alive_out |= f.bytes[4] == 0xFF;
      request_out |= f.bytes[4] == 0x7D;
    } else if (f.bytes[4] == 0x7D) {
      sent_records.emplace_back(f.bytes.begin() + 6, f.bytes.end() - 3);
      sent_at.push_back(f.time_us);
    }
  }
  EXPECT_TRUE(keep_alive_out && request_out) << "both directions are recorded";
  ASSERT_GE(sent_records.size(), 8u);

  // The capture tools, with the project's dissector (tshark is installed by CI; elsewhere optional).
  if (access("/usr/bin/tshark", X_OK) == 0) {
    ChildProcess tshark(
        {"/usr/bin/tshark", "-r", recording, "-X", "lua_script:" SOURCE_DIR "/tools/wireshark/trevask.lua",
         "-T", "fields", "-e", "trevask.type", "-e", "trevask.crc.status", "-e", "trevask.destination"},
        {}, testing_support::Origin::kSystem);
    EXPECT_EQ(tshark.Wait(), 0) << tshark.err();
    int standard = 0, bad = 0;
    for (const std::string& line : tshark.lines()) {
      standard += line.rfind("0x7d\tgood\t0", 0) == 0;
      bad += line.find("bad") != std::string::npos;
    }
    EXPECT_EQ(standard, static_cast<int>(sent_records.size())) << "every standard record, CRC checked";
    EXPECT_EQ(bad, 0);
  }

  // Replayed twice as fast into another name, read by a client as it comes.
  const std::string replayed = "Rep" + std::to_string(getpid());
  exchange::CRingConsumer client;
  ASSERT_EQ(client.Open(replayed, exchange::SectionId::kStandardSensor), platform::Status::kOk);
  ChildProcess replay({kRelay, "--replay", recording, "--speed", "2", "--robot", replayed},
                      {"TREVASK_TIME_SCALE=1", kConfig});
  std::vector<std::vector<uint8_t>> got;
  std::vector<std::chrono::steady_clock::time_point> got_at;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (got.size() < sent_records.size() && std::chrono::steady_clock::now() < end) {
    if (exchange::RingRecord r = client.Take()) {
      got.emplace_back(r.data(), r.data() + r.size());
      got_at.push_back(std::chrono::steady_clock::now());
    } else {
      usleep(200);  // the poll's pace, fine enough for the arrival times measured here
    }
  }
  EXPECT_EQ(replay.Wait(), 0) << replay.err();
  ASSERT_EQ(got.size(), sent_records.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(std::vector<uint8_t>(got[i].begin(), got[i].begin() + sent_records[i].size()), sent_records[i])
        << i;
  const double recorded_ms = static_cast<double>(sent_at.back() - sent_at.front()) / 1000.0;
  const double replayed_ms =
      std::chrono::duration<double, std::milli>(got_at.back() - got_at.front()).count();
  // Spread over time as recorded, at twice the pace. A loaded machine can only hold records back, so
  // the bounds are one-sided where lateness would move the span: not much shorter than half the
  // recorded span, and clearly shorter than the whole of it.
  EXPECT_GT(replayed_ms, recorded_ms / 2 * 0.75) << "the timing kept, halved by --speed 2";
  EXPECT_LT(replayed_ms, recorded_ms * 0.9) << "--speed 2 replays faster than recorded";
  EXPECT_TRUE(replay.HasLine("replay finished: "));
  std::remove(recording.c_str());
}

// A recording whose time runs back (a clock set back while recording, or an edited file) still plays
// to its end: a frame stamped earlier than the one before it plays at once.
TEST(Headless, ARecordingWhoseTimeRunsBackPlaysToItsEnd) {
  const std::string path = "/tmp/trevask-test-back-" + std::to_string(getpid()) + ".pcapng";
  {
    relay::CLinkRecorder recorder;
    const platform::Result opened = recorder.Open(path);
    ASSERT_TRUE(opened.ok()) << opened.message;
    const exchange::Frame f = exchange::Frame::Make(0, 0, exchange::kTypeStandardSensor, nullptr, 0);
    recorder.Record(relay::Direction::kInbound, f.bytes, f.size);
    recorder.Record(relay::Direction::kInbound, f.bytes, f.size);
  }
  // The first packet's timestamp an hour and more later than the second's.
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t first_packet = 28 + 20;  // after the section header and the interface
  ASSERT_EQ(bytes[first_packet], 6);
  bytes[first_packet + 8 + 4] = static_cast<char>(bytes[first_packet + 8 + 4] + 1);  // high word + 1
  file.seekp(0);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  ChildProcess replay({kRelay, "--replay", path, "--robot", "Back" + std::to_string(getpid())},
                      {kScale, kConfig});
  EXPECT_EQ(replay.Wait(10000), 0) << replay.err();
  EXPECT_TRUE(replay.HasLine("replay finished: 2 frames"));
  std::remove(path.c_str());
}

TEST(Headless, BadRecordingsAndSpeedsAreRefusedBeforeAnythingStarts) {
  const std::string text = "/tmp/trevask-test-notrec-" + std::to_string(getpid());
  std::ofstream(text) << "not a recording\n";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--replay", text}, text + ": not a pcapng recording"},
      {{"--replay", "/nonexistent.pcapng"}, "/nonexistent.pcapng: "},
      {{"--replay", text, "--speed", "0"}, "--speed must be a number above 0"},
      {{"--replay", text, "--speed=-2"}, "--speed must be a number above 0"},
      {{"--speed", "2"}, "--speed is the speed of a --replay"},
      {{"--replay", text, "--wifi", "127.0.0.1"}, "--replay plays a recording instead of a link"},
      {{"--wifi", "127.0.0.1", "--port", "5", "--record", "/nonexistent/dir/x.pcapng"},
       "--record: /nonexistent/dir"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {kRelay};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess relay(argv, {kConfig});
    EXPECT_EQ(relay.Wait(), 2) << c.args[0];
    EXPECT_NE(relay.err().find(c.message), std::string::npos) << relay.err();
  }
  std::remove(text.c_str());
}

// As a Type=notify service: ready once the robot answers, the link's status as the unit's status.
TEST(Headless, AServiceRelayTellsSystemdWhenItIsReadyAndHowTheLinkIs) {
  const std::string path = "/tmp/trevask-test-notify-" + std::to_string(getpid());
  std::remove(path.c_str());
  const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ChildProcess sim({kSim, "--udp", "127.0.0.1:0"}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on udp"));
  const std::string port = std::to_string(SimPort(sim));
  ChildProcess relay(
      {kRelay, "--wifi", "127.0.0.1", "--port", port, "--robot", "Sd" + std::to_string(getpid())},
      {kScale, kConfig, "NOTIFY_SOCKET=" + path});
  ASSERT_TRUE(relay.WaitForLine("Connected")) << relay.err();
  relay.Signal(SIGTERM);
  EXPECT_EQ(relay.Wait(), 0);
  std::vector<std::string> messages;
  char buffer[512];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
    messages.emplace_back(buffer, static_cast<std::size_t>(n));
  close(fd);
  std::remove(path.c_str());
  auto index_of = [&](const std::string& m) {
    return std::find(messages.begin(), messages.end(), m) - messages.begin();
  };
  const auto ready = index_of("READY=1");
  const auto connected = index_of("STATUS=WiFi Connection: Connected, IP Port: " + port);
  ASSERT_LT(static_cast<std::size_t>(ready), messages.size());
  EXPECT_LT(static_cast<std::size_t>(connected), messages.size());
  EXPECT_EQ(index_of("STATUS=Wi-Fi Connection: Connecting..."), 0) << "the status from the start";
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "READY=1"), 1);
  EXPECT_LT(static_cast<std::size_t>(index_of("STOPPING=1")), messages.size());
  EXPECT_EQ(messages.back(), "STATUS=WiFi Connection: Disconnected");
}

}  // namespace
