// The rings across real processes: every scenario forks, so both sides are separate processes that
// meet only through the named objects, as the relay and a client do.
#include "exchange/sections.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "exchange/command_ring.h"
#include "platform/clock.h"
#include "wait_support.h"

namespace exchange {
// A put's status in a failure message, by its words.
void PrintTo(PutStatus status, std::ostream* os) {
  *os << PutStatusText(status);
}
}  // namespace exchange

namespace {

using exchange::CCommandTaker;
using exchange::CCommandWriter;
using exchange::CRingConsumer;
using exchange::CRingProducer;
using exchange::PutStatus;
using exchange::SectionId;

std::string UniqueRobot(const char* tag) {
  return std::string("T") + tag + std::to_string(getpid()) + "_";
}

// Runs `body` in a child process; returns its exit status (0 = all its checks held).
template <typename F>
int InChild(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// A pipe the child uses to say "I am ready" and the parent uses to say "go on".
struct Gate {
  int fds[2];
  Gate() { EXPECT_EQ(pipe(fds), 0); }
  ~Gate() {
    close(fds[0]);
    close(fds[1]);
  }
  void Open() { EXPECT_EQ(write(fds[1], "x", 1), 1); }
  void Wait() {
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), 1);
  }
};

void PutByte(CRingProducer& p, uint8_t value, uint32_t len = 1) {
  std::vector<uint8_t> rec(len, value);
  ASSERT_EQ(p.Put(rec.data(), len), PutStatus::kStored);
}

TEST(SectionNames, EscapeEverythingOutsideTheSafeSet) {
  EXPECT_EQ(exchange::SectionObjectName("R1", "SensorShareMem_Zembrin"), "/R1SensorShareMem_Zembrin");
  EXPECT_EQ(exchange::SectionObjectName("", "SensorShareMem_Zembrin"), "/SensorShareMem_Zembrin");
  EXPECT_EQ(exchange::SectionObjectName("a/b c%\xff", "X"), "/a%2Fb%20c%25%FFX");
  EXPECT_EQ(exchange::SectionObjectName("ok-1.2_x", ""), "/ok-1.2_x");
}

TEST(SectionTable, SizesFollowTheSlotFormula) {
  const std::size_t expected[] = {278, 278, 278, 60020, 990020, 2696, 278};
  int i = 0;
  for (const auto& s : exchange::kSections)
    EXPECT_EQ(exchange::SectionSize(s.capacity, s.slots), expected[i++]);
}

TEST(Rings, LateConsumerSeesOnlyRecordsWrittenAfterItOpened) {
  std::string robot = UniqueRobot("late");
  Gate produced, opened, done;
  pid_t pid = fork();
  if (pid == 0) {
    CRingProducer p;
    if (p.Open(robot, SectionId::kStandardSensor) != platform::Status::kOk) _exit(1);
    for (uint8_t v = 1; v <= 3; ++v) p.Put(&v, 1);
    produced.Open();
    opened.Wait();
    uint8_t v = 4;
    p.Put(&v, 1);
    done.Open();
    opened.Wait();  // stay alive until the parent has read
    _exit(0);
  }
  produced.Wait();
  CRingConsumer c;
  ASSERT_EQ(c.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  EXPECT_FALSE(c.Take()) << "records from before the open are not delivered";
  opened.Open();
  done.Wait();
  exchange::RingRecord r = c.Take();
  ASSERT_TRUE(r);
  EXPECT_EQ(r.length, 1u);
  EXPECT_EQ(r.data()[0], 4);
  EXPECT_FALSE(c.Take());
  opened.Open();
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0);
}

TEST(Rings, ConsumerThatCreatedTheSectionGetsTheFirstRecord) {
  std::string robot = UniqueRobot("first");
  CRingConsumer c;
  ASSERT_EQ(c.Open(robot, SectionId::kCommand), platform::Status::kOk);
  EXPECT_EQ(c.read_index(), 0u);
  int rc = InChild([&] {
    CRingProducer p;
    if (p.Open(robot, SectionId::kCommand) != platform::Status::kOk) return 1;
    const uint8_t frame[10] = {0x5E, 0x02, 0x01, 0x00, 0x05, 0x01, 0x42, 0x00, 0x5E, 0x0D};
    return p.Put(frame, 10) == PutStatus::kStored ? 0 : 2;
  });
  ASSERT_EQ(rc, 0);
  exchange::RingRecord r = c.Take();
  ASSERT_TRUE(r);
  ASSERT_EQ(r.length, 10u);
  EXPECT_EQ(r.data()[6], 0x42);
}

TEST(Rings, RecordsUpToCapacityFitLongerOnesAreRefused) {
  std::string robot = UniqueRobot("cap");
  CRingProducer sensor, command;
  ASSERT_EQ(sensor.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  ASSERT_EQ(command.Open(robot, SectionId::kCommand), platform::Status::kOk);
  std::vector<uint8_t> bytes(81, 0xAB);
  EXPECT_EQ(sensor.Put(bytes.data(), 50), PutStatus::kStored);
  EXPECT_EQ(sensor.Put(bytes.data(), 51), PutStatus::kTooLong);
  EXPECT_EQ(command.Put(bytes.data(), 80), PutStatus::kStored);
  EXPECT_EQ(command.Put(bytes.data(), 81), PutStatus::kTooLong);

  int rc = InChild([&] {
    CRingConsumer c;  // opens an existing section: starts at head, which the refusals did not move
    if (c.Open(robot, SectionId::kStandardSensor) != platform::Status::kOk) return 1;
    return c.read_index() == 1 ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
}

// Every put says what became of its record, whichever writer made it: the producer of the rings the
// relay fills, and a client's command writer before a relay that forwards but has stopped reading.
TEST(Rings, EveryPutSaysWhatBecameOfItsRecord) {
  const std::string robot = UniqueRobot("status");
  CRingProducer sensor, sensor_unopened;
  ASSERT_EQ(sensor.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  CCommandTaker relay;
  ASSERT_EQ(relay.Open(robot), platform::Status::kOk);
  ASSERT_TRUE(relay.Claim());
  relay.StartForwarding();
  CCommandWriter writer, writer_unopened;
  ASSERT_EQ(writer.Open(robot), platform::Status::kOk);
  const std::vector<uint8_t> bytes(81, 0x5A);
  struct Case {
    const char* what;
    std::function<PutStatus()> put;
    PutStatus status;
  };
  const Case cases[] = {
      {"a sensor record that fills its slot", [&] { return sensor.Put(bytes.data(), 50); },
       PutStatus::kStored},
      {"a sensor record a byte too long", [&] { return sensor.Put(bytes.data(), 51); }, PutStatus::kTooLong},
      {"a sensor record without a section", [&] { return sensor_unopened.Put(bytes.data(), 1); },
       PutStatus::kNoSection},
      {"a command that fills its slot", [&] { return writer.Put(bytes.data(), 80); }, PutStatus::kStored},
      {"an empty command", [&] { return writer.Put(nullptr, 0); }, PutStatus::kStored},
      {"a command a byte too long", [&] { return writer.Put(bytes.data(), 81); }, PutStatus::kTooLong},
      {"a command without its bytes", [&] { return writer.Put(nullptr, 3); }, PutStatus::kNoBytes},
      {"a command without a section", [&] { return writer_unopened.Put(bytes.data(), 1); },
       PutStatus::kNoSection},
      // 32 slots, the slot the relay reads next and the writers' reserve of 8: room for 23 unread.
      {"the last command the relay has room for",
       [&] {
         for (int i = 2; i < 22; ++i)
           if (writer.Put(bytes.data(), 1) != PutStatus::kStored) return PutStatus::kNoSection;
         return writer.Put(bytes.data(), 1);
       },
       PutStatus::kStored},
      {"a command the relay does not read in time", [&] { return writer.Put(bytes.data(), 1); },
       PutStatus::kNotRead},
  };
  std::set<std::string> texts;
  for (const Case& c : cases) {
    EXPECT_EQ(c.put(), c.status) << c.what;
    texts.insert(exchange::PutStatusText(c.status));
  }
  EXPECT_EQ(texts.size(), 5u) << "each status has its own words";
}

TEST(Rings, SixRecordsIntoFiveSlotsLeaveOneNew) {
  std::string robot = UniqueRobot("six");
  CRingConsumer c;
  ASSERT_EQ(c.Open(robot, SectionId::kMotorSensor), platform::Status::kOk);
  int rc = InChild([&] {
    CRingProducer p;
    if (p.Open(robot, SectionId::kMotorSensor) != platform::Status::kOk) return 1;
    for (uint8_t v = 1; v <= 6; ++v) p.Put(&v, 1);
    return 0;
  });
  ASSERT_EQ(rc, 0);
  exchange::RingRecord r = c.Take();
  ASSERT_TRUE(r);
  EXPECT_EQ(r.data()[0], 6);
  EXPECT_FALSE(c.Take());
}

TEST(Rings, SectionLeftByAKilledProcessIsNewForTheNextOpener) {
  std::string robot = UniqueRobot("killed");
  Gate ready;
  pid_t pid = fork();
  if (pid == 0) {
    CRingProducer p;
    p.Open(robot, SectionId::kCustomSensor);
    for (uint8_t v = 1; v <= 3; ++v) p.Put(&v, 1);
    ready.Open();
    pause();
    _exit(0);
  }
  ready.Wait();
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);

  CRingConsumer c;
  ASSERT_EQ(c.Open(robot, SectionId::kCustomSensor), platform::Status::kOk);
  EXPECT_EQ(c.read_index(), 0u) << "the killed producer's head is forgotten";
  EXPECT_FALSE(c.Take());
  CRingProducer p;
  ASSERT_EQ(p.Open(robot, SectionId::kCustomSensor), platform::Status::kOk);
  PutByte(p, 9);
  exchange::RingRecord r = c.Take();
  ASSERT_TRUE(r);
  EXPECT_EQ(r.data()[0], 9);
}

TEST(Rings, SectionOfAnotherSizeIsRefusedNotMappedShort) {
  std::string name = "/" + UniqueRobot("size") + "Odd";
  Gate ready, finish;
  pid_t pid = fork();
  if (pid == 0) {
    CRingProducer p;
    p.Open(name, 10, 2);  // 36 bytes
    ready.Open();
    finish.Wait();
    platform::ReleaseSharedObjects();
    _exit(0);
  }
  ready.Wait();
  CRingConsumer c;
  EXPECT_EQ(c.Open(name, 50, 5), platform::Status::kWrongSize);
  EXPECT_FALSE(c.HasView());
  EXPECT_FALSE(c.Take());
  finish.Open();
  waitpid(pid, nullptr, 0);
}

TEST(Rings, HandlesWithoutAViewRefuse) {
  CRingProducer p;
  CRingConsumer c;
  uint8_t b = 1;
  EXPECT_EQ(p.Put(&b, 1), PutStatus::kNoSection);
  EXPECT_FALSE(c.Take());
  EXPECT_EQ(p.Open("no-slash", 50, 5), platform::Status::kBadName);
  EXPECT_EQ(p.Put(&b, 1), PutStatus::kNoSection);
  EXPECT_EQ(c.Open("/" + std::string(300, 'x'), 50, 5), platform::Status::kBadName);
}

TEST(Rings, ReconnectInTheSameProcessKeepsHeadAndTheLayoutIsAsPublished) {
  std::string robot = UniqueRobot("layout");
  {
    CRingProducer p;
    ASSERT_EQ(p.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
    PutByte(p, 0x11, 3);
    PutByte(p, 0x22, 2);
  }
  CRingProducer again;  // the view went away, the object stayed with the process
  ASSERT_EQ(again.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  PutByte(again, 0x33, 1);

  // Read the raw bytes the way an outside tool would.
  int rc = InChild([&] {
    int fd = shm_open(exchange::SectionObjectName(robot, "SensorShareMem_Zembrin").c_str(), O_RDONLY, 0);
    if (fd < 0) return 1;
    uint8_t raw[278];
    if (read(fd, raw, sizeof raw) != 278) return 2;
    uint32_t head, len0, len2;
    std::memcpy(&head, raw, 4);
    std::memcpy(&len0, raw + 8, 4);
    std::memcpy(&len2, raw + 8 + 2 * 54, 4);
    if (head != 3 || len0 != 3 || len2 != 1) return 3;
    if (raw[12] != 0x11 || raw[12 + 54] != 0x22 || raw[12 + 108] != 0x33) return 4;
    return 0;
  });
  EXPECT_EQ(rc, 0);
}

TEST(Rings, SectionsAreForTheirOwnerOnly) {
  std::string name = "/" + UniqueRobot("mode") + "Perm";
  CRingProducer p;
  ASSERT_EQ(p.Open(name, 50, 5), platform::Status::kOk);
  struct stat st {};
  int fd = shm_open(name.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  fchmod(fd, 0666);  // opened up behind our back
  close(fd);
  int rc = InChild([&] {
    CRingConsumer c;  // another process of the same user reopens it and closes it again
    if (c.Open(name, 50, 5) != platform::Status::kOk) return 1;
    int again = shm_open(name.c_str(), O_RDONLY, 0);
    struct stat s2 {};
    fstat(again, &s2);
    return (s2.st_mode & 0777) == 0600 ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
  if (geteuid() == 0) {
    // A section of the same name owned by someone else is refused, never mapped.
    std::string foreign = "/" + UniqueRobot("foreign") + "Perm";
    int ffd = shm_open(foreign.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(ffd, 0);
    ASSERT_EQ(ftruncate(ffd, 278), 0);
    ASSERT_EQ(fchown(ffd, 65534, 65534), 0);
    close(ffd);
    CRingConsumer c;
    EXPECT_EQ(c.Open(foreign, 50, 5), platform::Status::kForeign);
    EXPECT_FALSE(c.HasView());
    shm_unlink(foreign.c_str());
  }
}

// Holds a lock on byte `byte` of the named object until the gate opens; the object is made by the
// child (owned by `uid` when that is not -1, and mode 0666 so that others can open it).
pid_t HoldLocked(const std::string& name, std::size_t size, off_t byte, Gate& ready, Gate& finish,
                 int uid = -1) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) _exit(1);
    fchmod(fd, 0666);
    if (uid >= 0 && fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(uid)) != 0) _exit(2);
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = byte;
    l.l_len = 0;  // to the end and beyond: every byte another opener might lock
    if (fcntl(fd, F_OFD_SETLK, &l) != 0) _exit(3);
    ready.Open();
    finish.Wait();
    _exit(0);
  }
  return pid;
}

TEST(Rings, ALockedObjectNeverMakesAnOpenWait) {
  {
    // Another user's object with a write lock held on it: refused at once, before any lock.
    if (geteuid() == 0) {
      std::string name = "/" + UniqueRobot("flock") + "Foreign";
      Gate ready, finish;
      pid_t pid = HoldLocked(name, 278, 0, ready, finish, 65534);
      ready.Wait();
      CRingConsumer c;
      EXPECT_EQ(c.Open(name, 50, 5), platform::Status::kForeign);
      finish.Open();
      waitpid(pid, nullptr, 0);
      shm_unlink(name.c_str());
    }
  }
  // Our own user's object kept locked beyond the wait: the open gives up and says why.
  std::string name = "/" + UniqueRobot("busy") + "Held";
  Gate ready, finish;
  pid_t pid = HoldLocked(name, 278, 0, ready, finish);
  ready.Wait();
  CRingConsumer c;
  EXPECT_EQ(c.Open(name, 50, 5), platform::Status::kBusy);
  EXPECT_FALSE(c.HasView());
  finish.Open();
  waitpid(pid, nullptr, 0);
  shm_unlink(name.c_str());
}

TEST(Rings, HoldersThatEndTogetherLeaveNoNameBehind) {
  for (int round = 0; round < 40; ++round) {
    const std::string robot = UniqueRobot("last") + std::to_string(round);
    const std::string path = "/dev/shm" + exchange::SectionObjectName(robot, "SensorShareMem_Zembrin");
    Gate ready_a, ready_b, go;
    auto holder = [&](Gate& ready) {
      pid_t pid = fork();
      if (pid == 0) {
        CRingProducer p;
        if (p.Open(robot, SectionId::kStandardSensor) != platform::Status::kOk) _exit(1);
        ready.Open();
        go.Wait();
        exit(0);  // a normal exit: the names are released on the way out
      }
      return pid;
    };
    pid_t a = holder(ready_a), b = holder(ready_b);
    ready_a.Wait();
    ready_b.Wait();
    go.Open();
    go.Open();
    int sa = 0, sb = 0;
    waitpid(a, &sa, 0);
    waitpid(b, &sb, 0);
    ASSERT_EQ(sa, 0);
    ASSERT_EQ(sb, 0);
    ASSERT_NE(access(path.c_str(), F_OK), 0) << "round " << round << ": " << path << " was left behind";
  }
}

TEST(CommandPacing, AWriterWaitsForTheForwarderInsteadOfOverwriting) {
  const std::string robot = UniqueRobot("paced");
  Gate ready;
  pid_t pid = fork();
  if (pid == 0) {
    // The forwarder: claims the ring, takes one record now and then, publishing how far it read.
    CCommandTaker c;
    if (c.Open(robot) != platform::Status::kOk || !c.Claim()) _exit(1);
    c.StartForwarding();
    c.PublishMark(0, true);
    ready.Open();
    std::vector<uint8_t> seen;
    uint32_t pass = 0;
    uint8_t record[exchange::kCommandRecordMax];
    uint32_t length = 0;
    while (seen.size() < 100) {
      if (c.Take(record, length) == CCommandTaker::TakeStatus::kRecord) seen.push_back(record[0]);
      c.PublishMark(++pass, true);
      usleep(200);  // the forwarder's pace: slower than the writer, so the ring fills
    }
    for (std::size_t i = 0; i < seen.size(); ++i)
      if (seen[i] != i) _exit(2);
    _exit(0);
  }
  ready.Wait();
  CCommandWriter p;
  ASSERT_EQ(p.Open(robot), platform::Status::kOk);
  for (uint8_t v = 0; v < 100; ++v) ASSERT_EQ(p.Put(&v, 1), PutStatus::kStored);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0) << "every record arrives once, in order";
}

// Clients stopped anywhere in their puts (SIGSTOP, as Ctrl-Z or a debugger does) while others write:
// the relay never receives a record twice or out of a writer's order, receives exactly the puts
// that said they were stored, and a writer that is never stopped is never held up for long.
TEST(CommandPacing, WritersStoppedAnywhereNeitherRepeatNorHoldUpTheOthers) {
  testing_support::ScopedTimeScale scale(
      0.2);  // a stopped writer is passed over after 40 ms, a put gives up after 200
  const std::string robot = UniqueRobot("stop");
  constexpr int kWriters = 3;  // the last one is never stopped
  constexpr int kPuts = 4000;  // at most; they write until the stopping is over
  struct Shared {
    int8_t result[kWriters][kPuts];
    uint32_t longest_put_ms[kWriters];
    int received_count;
    uint16_t received[kWriters * kPuts * 2];  // writer << 12 | sequence
    int writers_stop;
    int relay_stop;
  };
  auto* shared = static_cast<Shared*>(
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(shared, MAP_FAILED);
  std::memset(shared, 0, sizeof(Shared));
  std::memset(shared->result, -1, sizeof shared->result);  // -1: not tried

  Gate relay_ready;
  const pid_t relay = fork();
  if (relay == 0) {
    CCommandTaker c;
    if (c.Open(robot) != platform::Status::kOk || !c.Claim()) _exit(1);
    c.PublishMark(0, true);
    relay_ready.Open();
    uint8_t record[exchange::kCommandRecordMax];
    for (uint32_t pass = 1;; ++pass) {
      uint32_t n = 0;
      const auto take = c.Take(record, n);
      if (take == CCommandTaker::TakeStatus::kRecord && n == 3) {
        const int i = __atomic_fetch_add(&shared->received_count, 1, __ATOMIC_RELAXED);
        if (i < kWriters * kPuts * 2)
          shared->received[i] = static_cast<uint16_t>(record[0] << 12 | record[1] | record[2] << 8);
      }
      c.PublishMark(pass, true);
      if (take == CCommandTaker::TakeStatus::kNone && __atomic_load_n(&shared->relay_stop, __ATOMIC_ACQUIRE))
        _exit(0);
      usleep(1000);  // a relay a little slower than the writers, so the ring fills and they wait
    }
  }
  relay_ready.Wait();

  pid_t writers[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    writers[w] = fork();
    if (writers[w] == 0) {
      CCommandWriter p;
      if (p.Open(robot) != platform::Status::kOk) _exit(1);
      for (int seq = 0; seq < kPuts && !__atomic_load_n(&shared->writers_stop, __ATOMIC_ACQUIRE); ++seq) {
        const uint8_t record[3] = {static_cast<uint8_t>(w), static_cast<uint8_t>(seq & 0xFF),
                                   static_cast<uint8_t>(seq >> 8)};
        const uint32_t start = platform::TickCount();
        shared->result[w][seq] = p.Put(record, 3) == PutStatus::kStored ? 1 : 0;
        const uint32_t took = platform::TickElapsed(platform::TickCount(), start);
        if (took > shared->longest_put_ms[w]) shared->longest_put_ms[w] = took;
        if (w == kWriters - 1) usleep(2000);  // the pace of the writer never stopped
      }
      _exit(0);
    }
  }
  // Stop one of the first writers, let it go on, again and again: every other stop is longer than
  // the bound a put is held to (3.5 s of the ring's time), the others up to 300 ms.
  unsigned seed = 7;
  for (int stop = 0; stop < 8; ++stop) {
    const pid_t victim = writers[stop % (kWriters - 1)];
    usleep(static_cast<useconds_t>(rand_r(&seed) % 20000));  // the stops' pace, as above
    kill(victim, SIGSTOP);
    usleep(static_cast<useconds_t>(stop % 2 == 0 ? 700000 : rand_r(&seed) % 300000));  // the stop's length
    kill(victim, SIGCONT);
  }
  __atomic_store_n(&shared->writers_stop, 1, __ATOMIC_RELEASE);
  for (pid_t w : writers) waitpid(w, nullptr, 0);
  __atomic_store_n(&shared->relay_stop, 1, __ATOMIC_RELEASE);
  int relay_status = -1;
  waitpid(relay, &relay_status, 0);
  ASSERT_EQ(relay_status, 0);

  std::vector<std::vector<int>> got(kWriters);
  for (int i = 0; i < shared->received_count; ++i)
    got[shared->received[i] >> 12].push_back(shared->received[i] & 0xFFF);
  for (int w = 0; w < kWriters; ++w) {
    std::vector<int> stored;
    for (int seq = 0; seq < kPuts; ++seq)
      if (shared->result[w][seq] == 1) stored.push_back(seq);
    EXPECT_EQ(got[w], stored) << "writer " << w << ": exactly its stored puts, once each, in its order";
  }
  EXPECT_EQ(std::count(shared->result[kWriters - 1], shared->result[kWriters - 1] + kPuts, 0), 0)
      << "the writer nobody stopped had every put stored";
  EXPECT_LT(shared->longest_put_ms[kWriters - 1], 3 * exchange::kPutWaitMs)
      << "a writer nobody stopped waits about a second at most, whoever else stops";
  munmap(shared, sizeof(Shared));
}

TEST(CommandPacing, AMarkLeftByAKilledRelayIsCleared) {
  const std::string robot = UniqueRobot("stale");
  CCommandWriter p;  // held here throughout, so the ring outlives the relay and keeps its mark
  ASSERT_EQ(p.Open(robot), platform::Status::kOk);
  Gate ready;
  pid_t pid = fork();
  if (pid == 0) {
    CCommandTaker c;
    if (c.Open(robot) != platform::Status::kOk || !c.Claim()) _exit(1);
    c.PublishMark(7, false);
    ready.Open();
    pause();
    _exit(0);
  }
  ready.Wait();
  kill(pid, SIGKILL);  // gone without withdrawing its mark
  waitpid(pid, nullptr, 0);
  // 32 slots, the slot the mark names and the writers' reserve of 8 kept free: room for 23.
  for (uint8_t v = 0; v < 23; ++v)
    ASSERT_EQ(p.Put(&v, 1), PutStatus::kStored) << "room for 23 before the mark's slot";
  uint8_t v = 23;
  EXPECT_EQ(p.Put(&v, 1), PutStatus::kStored) << "the full ring sees that its relay has gone, and is written";
  for (uint8_t w = 24; w < 64; ++w) EXPECT_EQ(p.Put(&w, 1), PutStatus::kStored);

  // A new forwarder can claim the ring now that the killed one is gone.
  EXPECT_EQ(InChild([&] {
              CCommandTaker c;
              return c.Open(robot) == platform::Status::kOk && c.Claim() ? 0 : 1;
            }),
            0);
}

TEST(CommandPacing, OneForwarderPerRing) {
  const std::string robot = UniqueRobot("claim");
  CCommandTaker mine;
  ASSERT_EQ(mine.Open(robot), platform::Status::kOk);
  ASSERT_TRUE(mine.Claim());
  CCommandTaker second_here;
  ASSERT_EQ(second_here.Open(robot), platform::Status::kOk);
  EXPECT_FALSE(second_here.Claim()) << "not twice in one process";
  EXPECT_EQ(InChild([&] {
              CCommandTaker c;
              return c.Open(robot) == platform::Status::kOk && !c.Claim() ? 0 : 1;
            }),
            0)
      << "nor from another process";
  mine.Close();
  EXPECT_TRUE(second_here.Claim()) << "free again once the claimer closed its handle";
}

TEST(Rings, AConsumerCountsWhatItWasLappedBy) {
  const std::string robot = UniqueRobot("lap");
  CRingProducer p;
  ASSERT_EQ(p.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  CRingConsumer c;
  ASSERT_EQ(c.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  for (uint8_t v = 1; v <= 5; ++v) PutByte(p, v);
  EXPECT_FALSE(c.Take()) << "lapped exactly: the head is back where the consumer was";
  EXPECT_EQ(c.lapped(), 5u) << "but the count knows";
  for (uint8_t v = 6; v <= 17; ++v) PutByte(p, v);
  exchange::RingRecord r = c.Take();
  ASSERT_TRUE(r);
  EXPECT_EQ(r.data()[0], 16);
  EXPECT_EQ(c.lapped(), 15u) << "10 more overwritten before the take";
  ASSERT_TRUE(r = c.Take());
  EXPECT_EQ(r.data()[0], 17);
  EXPECT_FALSE(c.Take());
  EXPECT_EQ(c.lapped(), 15u);
  PutByte(p, 18);
  ASSERT_TRUE(r = c.Take());
  EXPECT_EQ(c.lapped(), 15u) << "nothing lost when the consumer keeps up";
}

// A producer that laps a slow reader over and over, with records large enough that a copy takes a
// while: every copy the reader gets is one whole record, never the start of one and the end of
// another.
TEST(Rings, ACopiedRecordNeverMixesTwoRecords) {
  const std::string robot = UniqueRobot("torn");
  CRingConsumer c;
  ASSERT_EQ(c.Open(robot, SectionId::kImage), platform::Status::kOk);
  Gate done;
  const pid_t producer = fork();
  if (producer == 0) {
    CRingProducer p;
    if (p.Open(robot, SectionId::kImage) != platform::Status::kOk) _exit(1);
    std::vector<uint8_t> record(20000);
    const uint32_t end = platform::TickCount() + 10000;  // 500 ms at the tests' time scale
    for (uint8_t n = 1; platform::TickAfter(end, platform::TickCount()); ++n) {
      std::fill(record.begin(), record.end(), n);
      p.Put(record.data(), static_cast<uint32_t>(record.size()));
    }
    _exit(0);
  }
  std::vector<uint8_t> copy(20000);
  int copies = 0, mixed = 0;
  for (int status = 0; waitpid(producer, &status, WNOHANG) == 0;) {
    uint32_t length = 0;
    while (c.TakeCopy(copy.data(), static_cast<uint32_t>(copy.size()), length)) {
      ++copies;
      mixed += std::count(copy.begin(), copy.end(), copy[0]) != static_cast<long>(copy.size());
    }
  }
  EXPECT_GT(copies, 10);
  EXPECT_EQ(mixed, 0) << "of " << copies << " copies";
  EXPECT_GT(c.lapped(), 0u) << "the reader was lapped, and it knows";
}

TEST(Rings, SignalSectionNeverYieldsARecord) {
  CRingConsumer c;
  ASSERT_EQ(c.Open(UniqueRobot("sig"), SectionId::kSignal), platform::Status::kOk);
  EXPECT_FALSE(c.Take());
}

}  // namespace

// A relay run as a service user shares the robot's sections with a group; its clients run as other
// users of that group. Needs root, to be those users.
class GroupSharing : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    nobody_ = getpwnam("nobody");
    group_ = getgrnam("nogroup");
    if (nobody_ == nullptr || group_ == nullptr)
      GTEST_SKIP() << "needs the user nobody and the group nogroup";
  }
  // Runs `body` as user nobody, in group nogroup or in no group at all.
  template <typename F>
  int AsNobody(bool in_group, F body) {
    const uid_t uid = nobody_->pw_uid;
    const gid_t gid = group_->gr_gid;
    return InChild([&] {
      const gid_t groups[1] = {gid};
      const gid_t primary =
          in_group ? gid : static_cast<gid_t>(nobody_->pw_gid == gid ? 65533 : nobody_->pw_gid);
      if (setgroups(in_group ? 1 : 0, groups) != 0 || setgid(primary) != 0 || setuid(uid) != 0) return 90;
      platform::StopSharing();  // a client of the group, not the relay that shares with it
      return body();
    });
  }
  // Runs `body` as user daemon in group nogroup: a service relay's user, which is no other user's.
  template <typename F>
  int AsServiceUser(F body) {
    const passwd* daemon = getpwnam("daemon");
    const gid_t gid = group_->gr_gid;
    if (daemon == nullptr) return 91;
    return InChild([&] {
      const gid_t groups[1] = {gid};
      if (setgroups(1, groups) != 0 || setgid(daemon->pw_gid) != 0 || setuid(daemon->pw_uid) != 0) return 90;
      return body();
    });
  }
  // A member of the group makes an object of `name` of the right size first, shared with the group.
  void SquatAsMember(const std::string& name, std::size_t size) {
    ASSERT_EQ(AsNobody(true,
                       [&] {
                         const int fd = shm_open(name.c_str(), O_CREAT | O_RDWR, 0660);
                         return fd >= 0 && fchmod(fd, 0660) == 0 &&
                                        ftruncate(fd, static_cast<off_t>(size)) == 0
                                    ? 0
                                    : 1;
                       }),
              0);
  }
  passwd* nobody_ = nullptr;
  group* group_ = nullptr;
};

// A member that makes the robot's sections before the relay starts could later open them to
// everyone: a relay that shares with a group uses only objects it made itself.
TEST_F(GroupSharing, ARelayNeverAdoptsSectionsAMemberMadeFirst) {
  const std::string robot = UniqueRobot("squat");
  const std::string name = exchange::SectionObjectName(robot, "SensorShareMem_Zembrin");
  const std::size_t size = exchange::SectionSize(50, 5);
  SquatAsMember(name, size);
  EXPECT_EQ(AsServiceUser([&] {
              if (!platform::ShareWithGroup("nogroup").ok()) return 1;
              CRingProducer p;
              if (p.Open(robot, SectionId::kStandardSensor) != platform::Status::kForeign) return 2;
              const std::string who = platform::DescribeSharedObject(name);
              return who.find("owned by user nobody") != std::string::npos ? 0 : 3;
            }),
            0)
      << "a relay that may not remove another user's name refuses it and names the owner";

  const platform::Result shared = platform::ShareWithGroup("nogroup");
  ASSERT_TRUE(shared.ok()) << shared.message;
  CRingProducer p;  // root may remove any name: the squatted one is made anew, as root's
  ASSERT_EQ(p.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  struct stat st {};
  ASSERT_EQ(stat(("/dev/shm" + name).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  platform::StopSharing();
}

// Any member of the group may write the command ring, so any member can shrink a section's object
// under the relay: the relay survives it, says so, and goes on with the section's size given back.
TEST_F(GroupSharing, ARelaySurvivesASectionShrunkUnderIt) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP()
      << "a fault inside ThreadSanitizer's own memcpy cannot be left by a jump; the other builds test this";
#endif
  const platform::Result shared = platform::ShareWithGroup("nogroup");
  ASSERT_TRUE(shared.ok()) << shared.message;
  std::vector<std::string> damaged;
  platform::SetSharedDamageObserver([&](const std::string& name) { damaged.push_back(name); });
  const std::string robot = UniqueRobot("shrunk");
  CRingProducer sensors;
  ASSERT_EQ(sensors.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  CCommandTaker commands;
  ASSERT_EQ(commands.Open(robot), platform::Status::kOk);
  ASSERT_TRUE(commands.Claim());
  commands.StartForwarding();
  for (const char* suffix : {"SensorShareMem_Zembrin", "McCommandsShareMem_Zembrin"}) {
    const std::string name = exchange::SectionObjectName(robot, suffix);
    ASSERT_EQ(AsNobody(true,
                       [&] {
                         const int fd = shm_open(name.c_str(), O_RDWR, 0);
                         return fd >= 0 && ftruncate(fd, 0) == 0 ? 0 : 1;
                       }),
              0);
  }
  PutByte(sensors, 42);
  uint8_t record[exchange::kCommandRecordMax];
  uint32_t n = 0;
  EXPECT_EQ(commands.Take(record, n), CCommandTaker::TakeStatus::kNone);
  EXPECT_EQ(damaged.size(), 2u) << "each shrunk section is reported once";

  // The sections work again, for the relay and its clients.
  const uint8_t command[2] = {1, 2};
  EXPECT_EQ(AsNobody(true,
                     [&] {
                       CCommandWriter client;
                       return client.Open(robot) == platform::Status::kOk &&
                                      client.Put(command, 2) == PutStatus::kStored
                                  ? 0
                                  : 1;
                     }),
            0);
  EXPECT_EQ(commands.Take(record, n), CCommandTaker::TakeStatus::kRecord);
  EXPECT_EQ(n, 2u);
  platform::SetSharedDamageObserver(nullptr);
  platform::StopSharing();
}

TEST_F(GroupSharing, TheGroupMayUseTheSectionsAndNobodyElse) {
  const platform::Result unknown = platform::ShareWithGroup("no-such-group-here");
  EXPECT_EQ(unknown.status, platform::Status::kBadArgument);
  EXPECT_EQ(unknown.message, "there is no group 'no-such-group-here'");
  const platform::Result shared = platform::ShareWithGroup("nogroup");
  ASSERT_TRUE(shared.ok()) << shared.message;
  const std::string robot = UniqueRobot("grp");
  CRingProducer sensors;
  ASSERT_EQ(sensors.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  struct stat st {};
  ASSERT_EQ(stat(("/dev/shm" + exchange::SectionObjectName(robot, "SensorShareMem_Zembrin")).c_str(), &st),
            0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_gid, group_->gr_gid);

  EXPECT_EQ(AsNobody(true,
                     [&] {
                       CRingConsumer c;
                       if (c.Open(robot, SectionId::kStandardSensor) != platform::Status::kOk) return 1;
                       CRingProducer commands;  // a client of the group writes commands too
                       return commands.Open(robot, SectionId::kCommand) == platform::Status::kOk ? 0 : 2;
                     }),
            0);
  EXPECT_EQ(AsNobody(false,
                     [&] {
                       CRingConsumer c;
                       return c.Open(robot, SectionId::kStandardSensor) == platform::Status::kForeign ? 0 : 1;
                     }),
            0)
      << "a user outside the group is refused";

  // Objects of the same names that root keeps to itself, or opens to everyone, are never used.
  for (mode_t mode : {0600, 0666}) {
    const std::string name = "/TgrpRaw" + std::to_string(getpid()) + "_" + std::to_string(mode);
    const int fd = shm_open(name.c_str(), O_CREAT | O_RDWR, mode);
    ASSERT_GE(fd, 0);
    fchmod(fd, mode);
    fchown(fd, 0, group_->gr_gid);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(exchange::SectionSize(50, 5))), 0);
    EXPECT_EQ(AsNobody(true,
                       [&] {
                         CRingConsumer c;
                         return c.Open(name, 50, 5) == platform::Status::kForeign ? 0 : 1;
                       }),
              0)
        << "mode " << std::oct << mode;
    close(fd);
    shm_unlink(name.c_str());
  }
}

// A put in one process ends a wait on the ring's doorbell in another, for the rings the relay fills
// (rung on their record count) and the command ring (rung on its head) alike; nothing else does.
TEST(Doorbells, APutWakesWaitersInAnotherProcess) {
  const std::string robot = UniqueRobot("bell");
  for (SectionId id : {SectionId::kMotorSensor, SectionId::kCommand}) {
    CRingProducer p;   // the rings the relay fills
    CCommandWriter w;  // the command ring, as clients write it
    ASSERT_EQ(id == SectionId::kCommand ? w.Open(robot) : p.Open(robot, id), platform::Status::kOk);
    Gate ready;
    Gate put;
    pid_t pid = fork();
    if (pid == 0) {
      CRingConsumer c;
      if (c.Open(robot, id) != platform::Status::kOk) _exit(1);
      platform::Doorbell bell = c.Doorbell();
      if (bell.word == nullptr || c.Pending()) _exit(2);
      if (platform::WaitForDoorbells(&bell, 1, 100) != platform::DoorbellWait::kTimedOut) _exit(3);
      ready.Open();
      put.Wait();  // the record may be in before the wait begins: the word then differs already
      if (platform::WaitForDoorbells(&bell, 1, 60000) != platform::DoorbellWait::kRung) _exit(4);
      _exit(c.Pending() ? 0 : 5);
    }
    ready.Wait();
    put.Open();
    const uint8_t record[] = {0x5E, 0xA1, 1};
    ASSERT_EQ(id == SectionId::kCommand ? w.Put(record, 3) : p.Put(record, 3), PutStatus::kStored);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ring " << static_cast<int>(id);
  }
}

// A put rings the system only when a wait is queued on the ring's doorbell, in any process; a
// waiter killed while it waited leaves its count behind, which costs later puts a wake for nobody
// and never loses one.
TEST(Doorbells, APutWakesOnlyWhenSomeoneWaits) {
  enum class Waiting { kNobody, kAnotherProcess, kKilledWhileWaiting };
  struct Row {
    SectionId id;
    Waiting waiting;
    uint64_t wakes;
  };
  const Row rows[] = {
      {SectionId::kMotorSensor, Waiting::kNobody, 0},
      {SectionId::kCommand, Waiting::kNobody, 0},
      {SectionId::kMotorSensor, Waiting::kAnotherProcess, 1},
      {SectionId::kCommand, Waiting::kAnotherProcess, 1},
      {SectionId::kMotorSensor, Waiting::kKilledWhileWaiting, 1},
  };
  for (const Row& row : rows) {
    const std::string robot = UniqueRobot("quiet");
    CRingProducer p;
    CCommandWriter w;
    ASSERT_EQ(row.id == SectionId::kCommand ? w.Open(robot) : p.Open(robot, row.id), platform::Status::kOk);
    const std::string counts =
        "/dev/shm" + exchange::SectionObjectName(robot, exchange::Spec(row.id).suffix) + "Doorbells";
    EXPECT_EQ(access(counts.c_str(), F_OK), 0) << "the count is made with the section, before any wait";
    CRingConsumer watch;  // this process's view of the same word
    ASSERT_EQ(watch.Open(robot, row.id), platform::Status::kOk);
    const uint32_t* word = watch.Doorbell().word;
    pid_t pid = -1;
    if (row.waiting != Waiting::kNobody) {
      pid = fork();
      if (pid == 0) {
        CRingConsumer c;
        if (c.Open(robot, row.id) != platform::Status::kOk) _exit(1);
        platform::Doorbell bell = c.Doorbell();
        _exit(platform::WaitForDoorbells(&bell, 1, 60000) == platform::DoorbellWait::kRung ? 0 : 4);
      }
      ASSERT_TRUE(testing_support::WaitUntil([&] { return platform::DoorbellWaiters(word) == 1; }));
      if (row.waiting == Waiting::kKilledWhileWaiting) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        EXPECT_EQ(platform::DoorbellWaiters(word), 1u) << "a killed waiter's count stays";
      }
    } else {
      EXPECT_EQ(platform::DoorbellWaiters(word), 0u);
    }
    const uint64_t before = platform::DoorbellWakeCalls();
    const uint8_t record[] = {0x5E, 0xA1, 1};
    ASSERT_EQ(row.id == SectionId::kCommand ? w.Put(record, 3) : p.Put(record, 3), PutStatus::kStored);
    EXPECT_EQ(platform::DoorbellWakeCalls() - before, row.wakes)
        << "ring " << static_cast<int>(row.id) << ", waiting " << static_cast<int>(row.waiting);
    if (row.waiting == Waiting::kAnotherProcess) {
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the waiter heard the put";
      EXPECT_EQ(platform::DoorbellWaiters(word), 0u) << "it counted itself out";
    }
  }
}

// Words written by someone who knows nothing of the ring: a waiter is woken, looks, finds nothing
// it can take, and waits again instead of spinning.
TEST(Doorbells, AScribbledWordWakesButPromisesNothing) {
  const std::string robot = UniqueRobot("scrib");
  CRingProducer p;
  ASSERT_EQ(p.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  CRingConsumer c;
  ASSERT_EQ(c.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  platform::Doorbell bell = c.Doorbell();
  auto* words = const_cast<uint32_t*>(bell.word) - 1;  // head, then the count
  words[0] = 77;                                       // a head no ring has
  words[1] += 6;
  EXPECT_EQ(platform::WaitForDoorbells(&bell, 1, 1000), platform::DoorbellWait::kRung);
  EXPECT_FALSE(c.Pending()) << "a head outside the ring holds nothing to take";
  words[0] = 0;
  EXPECT_TRUE(c.Pending()) << "three records counted that the ring does not show: lapped";
  EXPECT_FALSE(c.Take());
  EXPECT_EQ(c.lapped(), 3u);
  EXPECT_FALSE(c.Pending());
  bell = c.Doorbell();
  EXPECT_EQ(platform::WaitForDoorbells(&bell, 1, 100), platform::DoorbellWait::kTimedOut);
}
