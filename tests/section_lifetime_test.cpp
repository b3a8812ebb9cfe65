// How long the robot's sections last and what size they keep, with the relay, the simulated robot
// and clients as separate processes: sections of processes killed by Ctrl-C or SIGTERM do not stay
// in /dev/shm for good, and a section another process resizes is given its size back by the relay.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "control/control.h"
#include "exchange/sections.h"
#include "platform/shared_memory.h"
#include "process_support.h"
#include "program_folder.h"
#include "wait_support.h"

namespace {

using exchange::SectionId;
using testing_support::ChildProcess;
using testing_support::WaitUntil;

const std::string kRelay = TREVASK_BIN;
const std::string kSim = ROBOT_SIM_BIN;
const std::string kClient = SENSOR_READER_BIN;
const std::string kScale =
    std::string("TREVASK_TIME_SCALE=") +
    (std::getenv("TREVASK_TIME_SCALE") != nullptr ? std::getenv("TREVASK_TIME_SCALE") : "0.05");
const std::string kConfig =
    "TREVASK_CONFIG_DIR=" +
    testing_support::AddProgramFolder("/tmp/trevask-life-config-" + std::to_string(getpid()));

std::string Robot(const char* tag, int index) {
  return std::string("T") + tag + std::to_string(getpid()) + "_" + std::to_string(index);
}

// The robot's sections that are in /dev/shm now.
// The robot's sections, and with `counts` the counts of queued waits their doorbells keep beside them.
std::vector<std::string> Present(const std::string& robot, bool counts = true) {
  std::vector<std::string> present;
  for (const exchange::SectionSpec& s : exchange::kSections) {
    const std::string name = exchange::SectionObjectName(robot, s.suffix);
    for (const std::string& object : {name, name + "Doorbells"})
      if ((counts || object == name) && access(("/dev/shm" + object).c_str(), F_OK) == 0)
        present.push_back(object);
  }
  return present;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += n + " ";
  return text.empty() ? "none" : text;
}

long SizeOf(const std::string& name) {
  struct stat st {};
  return stat(("/dev/shm" + name).c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

int SimPort(const ChildProcess& sim) {
  for (const auto& l : sim.lines()) {
    const auto at = l.find("ready on udp 127.0.0.1:");
    if (at != std::string::npos) return std::stoi(l.substr(l.rfind(':') + 1));
  }
  return 0;
}

std::vector<std::string> RelayArgs(const std::string& robot, int port) {
  return {kRelay, "--headless", "--wifi", "127.0.0.1", "--port", std::to_string(port), "--robot", robot};
}

bool Connected(ChildProcess& relay, int port) {
  return relay.WaitForLine("WiFi Connection: Connected, IP Port: " + std::to_string(port));
}

// A client that connects a control to `robot` and then waits to be ended, with the signal handling
// every program has by default (Ctrl-C and SIGTERM end it at once).
class WaitingClient {
 public:
  explicit WaitingClient(const std::string& robot) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      control::CZembrinSDKControlCtrl ctl;
      ctl.connectRobot(robot);
      const char state = ctl.connected() && ctl.last_error().empty() ? 'y' : 'n';
      if (write(ready[1], &state, 1) != 1) _exit(2);
      for (;;) ctl.Wait(60000);  // killed while it waits on its rings' doorbells
    }
    close(ready[1]);
    char state = 0;
    connected_ = read(ready[0], &state, 1) == 1 && state == 'y';
    close(ready[0]);
  }
  ~WaitingClient() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool connected() const { return connected_; }
  // Sends `sig` and returns the signal that ended the client (0 when something else did).
  int End(int sig) {
    kill(pid_, sig);
    int status = 0;
    waitpid(pid_, &status, 0);
    ended_ = true;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

 private:
  pid_t pid_ = -1;
  bool connected_ = false;
  bool ended_ = false;
};

// Every ordinary ending of a client leaves nothing behind for good: what a killed client held is
// removed by the relay it outlived, or by the next relay or client that starts, whatever robot that
// one serves.
TEST(SectionLifetime, SectionsOfKilledClientsAreRemovedByTheNextRelayOrClient) {
  ChildProcess sim({kSim, "--udp", "127.0.0.1:0", "--period", "50"}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on udp"));
  const int port = SimPort(sim);
  enum class Next { kARelay, kAClient };
  const struct {
    const char* what;
    bool relay;             // a relay serves the robot while the client connects
    bool relay_ends_first;  // and ends before the client is killed
    int signal;
    Next next;  // who starts afterwards, for another robot
  } endings[] = {
      {"Ctrl-C while no relay serves the robot", false, false, SIGINT, Next::kARelay},
      {"SIGTERM after the relay stopped", true, true, SIGTERM, Next::kAClient},
      {"SIGTERM while the relay runs", true, false, SIGTERM, Next::kAClient},
  };
  int index = 0;
  for (const auto& e : endings) {
    SCOPED_TRACE(e.what);
    const std::string robot = Robot("life", index);
    const std::string other = Robot("next", index++);
    std::unique_ptr<ChildProcess> relay;
    if (e.relay) {
      relay =
          std::make_unique<ChildProcess>(RelayArgs(robot, port), std::vector<std::string>{kScale, kConfig});
      ASSERT_TRUE(Connected(*relay, port)) << relay->err();
    }
    {
      WaitingClient client(robot);
      ASSERT_TRUE(client.connected());
      ASSERT_EQ(Present(robot, false).size(), 7u);
      EXPECT_TRUE(WaitUntil([&] { return Present(robot).size() > 7u; }))
          << "the waits are counted beside them";
      if (e.relay_ends_first) {
        relay->Signal(SIGTERM);
        EXPECT_EQ(relay->Wait(), 0);
      }
      EXPECT_EQ(client.End(e.signal), e.signal);
    }
    if (relay != nullptr) {
      relay->Signal(SIGTERM);
      EXPECT_EQ(relay->Wait(), 0);
    }
    // What is left now no live process holds (racing reclaimers of other tests may have taken it).
    const std::string left = Joined(Present(robot));
    if (e.next == Next::kARelay) {
      ChildProcess next(RelayArgs(other, port), {kScale, kConfig});
      ASSERT_TRUE(Connected(next, port)) << next.err();
      EXPECT_TRUE(WaitUntil([&] { return Present(robot).empty(); }))
          << "left: " << left << "; still there: " << Joined(Present(robot));
      next.Signal(SIGTERM);
      EXPECT_EQ(next.Wait(), 0);
    } else {
      // A client program that finds no relay for its robot and gives up (exit status 1).
      ChildProcess next({kClient, other}, {kScale, kConfig});
      EXPECT_EQ(next.Wait(), 1) << next.err();
      EXPECT_TRUE(Present(robot).empty()) << "left: " << left << "; still there: " << Joined(Present(robot));
    }
    EXPECT_TRUE(Present(other).empty()) << "what the next one made went with it: " << Joined(Present(other));
  }
}

// A member of the group the sections are shared with (or a tool) can give a section another size at
// any time; clients open only a section of its exact size, so until the relay restores it every
// client that connects is refused. Within a page a shrink never faults, so the relay has to look.
TEST(SectionLifetime, TheRelayGivesEverySectionItsSizeBackAfterAnotherProcessResizedIt) {
  ChildProcess sim({kSim, "--udp", "127.0.0.1:0", "--period", "50"}, {kScale, kConfig});
  ASSERT_TRUE(sim.WaitForLine("ready on udp"));
  const int port = SimPort(sim);
  const std::string robot = Robot("size", 0);
  ChildProcess relay(RelayArgs(robot, port), {kScale, kConfig});
  ASSERT_TRUE(Connected(relay, port)) << relay.err();
  for (const exchange::SectionSpec& s : exchange::kSections) {
    if (s.id == SectionId::kSignal) continue;  // only clients open it; no relay serves it
    const std::string name = exchange::SectionObjectName(robot, s.suffix);
    const long size = static_cast<long>(exchange::SectionSize(s.capacity, s.slots));
    for (const long changed : {size / 2, size + 4096}) {
      SCOPED_TRACE(name + " resized to " + std::to_string(changed));
      const int fd = shm_open(name.c_str(), O_RDWR, 0);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(ftruncate(fd, changed), 0);
      close(fd);
      EXPECT_TRUE(WaitUntil([&] { return SizeOf(name) == size; })) << "size now " << SizeOf(name);
      // A client that connects now is let in.
      const pid_t pid = fork();
      if (pid == 0) {
        if (s.id == SectionId::kCommand) {
          exchange::CRingProducer p;
          _exit(p.Open(robot, s.id) == platform::Status::kOk ? 0 : 1);
        }
        exchange::CRingConsumer c;
        _exit(c.Open(robot, s.id) == platform::Status::kOk ? 0 : 1);
      }
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a client was refused";
    }
    EXPECT_TRUE(relay.WaitForError("section " + name + " damaged by another process; reopened", 5000))
        << "the relay says what it mended";
  }
  relay.Signal(SIGTERM);
  EXPECT_EQ(relay.Wait(), 0);
  EXPECT_TRUE(Present(robot).empty()) << Joined(Present(robot));
}

}  // namespace
