#include <fcntl.h>
#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/key_value_file.h"
#include "platform/lock.h"
#include "platform/regular_file.h"
#include "platform/shared_memory.h"
#include "platform/status.h"
#include "platform/thread.h"

namespace {

// One status type for every failure of the platform, one text each: the texts reach people and the
// tests of the layers above, so they stay word for word, and no two failures read alike.
TEST(Status, EveryFailureHasItsOwnText) {
  struct Case {
    platform::Status status;
    const char* text;
  };
  const Case cases[] = {
      {platform::Status::kOk, "ok"},
      {platform::Status::kBadName, "invalid shared-memory name"},
      {platform::Status::kOpenFailed, "shared memory cannot be opened"},
      {platform::Status::kWrongSize, "shared memory exists with another size"},
      {platform::Status::kMapFailed, "shared memory cannot be mapped"},
      {platform::Status::kForeign, "shared memory of that name belongs to another user"},
      {platform::Status::kBusy, "shared memory of that name is kept locked by another process"},
      {platform::Status::kNameTaken, "another kind of object has that name"},
      {platform::Status::kMissing, "no such file"},
      {platform::Status::kNoAccess, "permission denied"},
      {platform::Status::kNotRegular, "not a regular file"},
      {platform::Status::kTooLarge, "too large"},
      {platform::Status::kReadFailed, "cannot be read"},
      {platform::Status::kNotShared,
       "not readable by the clients' group (the relay reads only what its clients may)"},
      {platform::Status::kLink, "a link, which is not followed here (name the file itself)"},
      {platform::Status::kBadContent, "the file's content is not what the reader takes"},
      {platform::Status::kWriteFailed, "cannot be written"},
      {platform::Status::kBadArgument, "an argument the program cannot use"},
      {platform::Status::kStartFailed, "cannot be started"},
      {platform::Status::kUnsupported, "not possible on this system"},
  };
  std::set<std::string> texts;
  for (const Case& c : cases) {
    EXPECT_STREQ(platform::StatusText(c.status), c.text);
    texts.insert(platform::StatusText(c.status));
  }
  EXPECT_EQ(texts.size(), std::size(cases));
  EXPECT_STREQ(platform::StatusText(static_cast<platform::Status>(std::size(cases))), "unknown");
}

TEST(Clock, TickComparisonsSurviveWrapAround) {
  EXPECT_TRUE(platform::TickAfter(5, 0xFFFFFFF0u));
  EXPECT_FALSE(platform::TickAfter(0xFFFFFFF0u, 5));
  EXPECT_FALSE(platform::TickAfter(7, 7));
  EXPECT_EQ(platform::TickElapsed(5, 0xFFFFFFF0u), 21u);
  EXPECT_EQ(platform::TickElapsed(2005, 5), 2000u);
}

TEST(Clock, TimeScaleParsing) {
  EXPECT_EQ(platform::ParseTimeScale(nullptr), 1.0);
  EXPECT_EQ(platform::ParseTimeScale(""), 1.0);
  EXPECT_EQ(platform::ParseTimeScale("abc"), 1.0);
  EXPECT_EQ(platform::ParseTimeScale("-2"), 1.0);
  EXPECT_EQ(platform::ParseTimeScale("0"), 1.0);
  EXPECT_EQ(platform::ParseTimeScale("inf"), 1.0);
  EXPECT_DOUBLE_EQ(platform::ParseTimeScale("0.1"), 0.1);
}

TEST(Clock, ScaledSleepAdvancesTheScaledTickByAtLeastItsLength) {
  // The suite runs with a small scale; a 400 ms sleep must look like at least 400 ms on the tick.
  uint32_t before = platform::TickCount();
  platform::Sleep(400);  // the sleep is what is measured
  EXPECT_GE(platform::TickElapsed(platform::TickCount(), before), 399u);
}

TEST(Lock, IsRecursiveAndExcludesOtherThreads) {
  platform::RecursiveLock lock;
  int counter = 0;
  {
    platform::LockGuard outer(lock);
    platform::LockGuard inner(lock);  // a non-recursive lock would deadlock here
    ++counter;
  }
  std::vector<platform::Thread> threads(4);
  for (auto& t : threads) {
    ASSERT_TRUE(platform::StartThread(
        [&] {
          for (int i = 0; i < 10000; ++i) {
            platform::LockGuard g(lock);
            ++counter;
          }
        },
        t));
  }
  for (auto& t : threads) t.Join();
  EXPECT_EQ(counter, 40001);
}

TEST(Thread, MovedHandleStillJoinsOnce) {
  std::atomic<int> ran{0};
  platform::Thread a;
  ASSERT_TRUE(platform::StartThread([&] { ran.fetch_add(1); }, a));
  platform::Thread b = std::move(a);
  EXPECT_FALSE(a.Running());
  EXPECT_TRUE(b.Running());
  b.Join();
  EXPECT_FALSE(b.Running());
  EXPECT_EQ(ran.load(), 1);
}

TEST(DebugOutput, OneLinePerMessage) {
  std::vector<std::string> lines;
  platform::SetDebugObserver([&](std::string_view l) { lines.emplace_back(l); });
  platform::DebugOutput("\nProbable Write Timeout: Total of %ld bytes sent\n", 12L);
  platform::DebugOutput("two\nparts");
  platform::SetDebugObserver({});
  platform::DebugOutput("not observed");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Probable Write Timeout: Total of 12 bytes sent");
  EXPECT_EQ(lines[1], "two parts");
}

}  // namespace

// A reader on behalf of a group's members reads only what each of them may: the file readable, and
// every folder on its way searchable, by that group or by everyone. Neither it nor a reader of the
// file itself (gid -1 below) follows a link in the file's place.
TEST(RegularFile, AReaderForAGroupNeverLendsItsOwnRights) {
  const std::string dir = "/tmp/trevask-forgroup-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir + "/private").c_str(), 0700), 0);
  auto make = [](const std::string& path, mode_t mode) {
    std::ofstream(path) << "RIFF";
    chmod(path.c_str(), mode);
  };
  make(dir + "/open.wav", 0644);
  make(dir + "/mine.wav", 0600);
  make(dir + "/group.wav", 0640);
  make(dir + "/private/open.wav", 0644);
  ASSERT_EQ(symlink((dir + "/open.wav").c_str(), (dir + "/link.wav").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/pipe.wav").c_str(), 0644), 0);
  struct stat st {};
  ASSERT_EQ(stat((dir + "/group.wav").c_str(), &st), 0);
  const long own_group = static_cast<long>(st.st_gid), other_group = own_group + 1;
  const struct {
    std::string name;
    long gid;
    platform::Status expected;
  } cases[] = {
      {"open.wav", other_group, platform::Status::kOk},
      {"link.wav", other_group, platform::Status::kLink},  // even to a file they may read
      {"link.wav", -1, platform::Status::kLink},
      {"mine.wav", -1, platform::Status::kOk},
      {"pipe.wav", -1, platform::Status::kNotRegular},
      {"mine.wav", other_group, platform::Status::kNotShared},
      {"group.wav", other_group, platform::Status::kNotShared},
      {"group.wav", own_group, platform::Status::kOk},
      {"private/open.wav", other_group, platform::Status::kNotShared},  // a folder they cannot enter
      {"pipe.wav", other_group, platform::Status::kNotRegular},
      {"missing.wav", other_group, platform::Status::kMissing},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes;
    const std::string path = dir + "/" + c.name;
    EXPECT_EQ(c.gid < 0 ? platform::ReadRegularFileItself(path, 1024, true, bytes)
                        : platform::ReadFileForGroup(path, c.gid, 1024, true, bytes),
              c.expected)
        << c.name << " " << c.gid;
    EXPECT_EQ(bytes.size(), c.expected == platform::Status::kOk ? 4u : 0u) << c.name;
  }
  std::system(("rm -rf " + dir).c_str());
}

// What a settings line means: '#' starts a comment only at the start or after a blank, a quoted value
// is taken as it stands.
TEST(KeyValueFile, CommentsAndQuotesAsPeopleWriteThem) {
  const std::string path = "/tmp/trevask-kv-" + std::to_string(getpid());
  const struct {
    const char* line;
    const char* value;
  } cases[] = {
      {"password = ab#c", "ab#c"},
      {"password = ab #c", "ab"},
      {"password=x   # a comment", "x"},
      {"password = \"a #b \"", "a #b "},
      {"password = \"say \\\"hi\\\"\"", "say \"hi\""},
      {"# password = no\npassword = yes", "yes"},
  };
  for (const auto& c : cases) {
    std::ofstream(path) << c.line << "\n";
    std::string got;
    const platform::Result read = platform::ReadKeyValueFile(
        path, [&](const std::string&, const std::string& value) { return got = value, platform::Ok(); });
    EXPECT_TRUE(read.ok()) << read.message;
    EXPECT_EQ(got, c.value) << c.line;
  }
  std::remove(path.c_str());
}

// A file that is not read says where and of what kind its fault is: a line's own fault, or the kind
// its reader gave for a value it refused, at that line.
TEST(KeyValueFile, FaultsNameTheLineAndTheirKind) {
  const std::string path = "/tmp/trevask-kv-fault-" + std::to_string(getpid());
  const struct {
    const char* text;  // nullptr: no file at all
    platform::Status status;
    std::string message;
  } cases[] = {
      {nullptr, platform::Status::kMissing, path + ": no such file"},
      {"link wifi\n", platform::Status::kBadContent, path + ":1: expected key = value"},
      {"a = 1\na = 2\n", platform::Status::kBadContent, path + ":2: a is given twice (first on line 1)"},
      {"a = \"open\n", platform::Status::kBadContent, path + ":1: the quotes of the value do not close"},
      {"a = 1\n\nrefused = x\n", platform::Status::kBadArgument, path + ":3: not taken"},
  };
  for (const auto& c : cases) {
    std::remove(path.c_str());
    if (c.text != nullptr) std::ofstream(path) << c.text;
    const platform::Result read =
        platform::ReadKeyValueFile(path, [](const std::string& key, const std::string&) {
          return key == "refused" ? platform::Fail(platform::Status::kBadArgument, "not taken")
                                  : platform::Ok();
        });
    EXPECT_EQ(read.status, c.status) << c.message;
    EXPECT_EQ(read.message, c.message);
  }
  std::remove(path.c_str());
}

namespace {

// The host a client library is loaded into (Python, Qt, a COM container) keeps its own SIGBUS
// handling: the library's handler is there only while a view is mapped, any SIGBUS that is not a
// guarded access's fault reaches the host's handler or disposition, and the host's disposition is
// back as it was once the last view has gone.
enum class HostBus { kInfoHandler, kPlainHandler, kDefault, kIgnore };

// Written by the host's handler, read by the child's checks on the same thread: relaxed is enough, an
// atomic only so that the handler may write them.
std::atomic<int> g_host_calls{0};
std::atomic<int> g_host_last_code{99};
volatile sig_atomic_t g_host_may_escape = 0;
sigjmp_buf g_host_escape;

void HostInfoHandler(int, siginfo_t* info, void*) {
  g_host_calls.fetch_add(1, std::memory_order_relaxed);
  g_host_last_code.store(info->si_code, std::memory_order_relaxed);
  if (g_host_may_escape) siglongjmp(g_host_escape, 1);  // the host's own way out of a fault
}
void HostPlainHandler(int) {
  g_host_calls.fetch_add(1, std::memory_order_relaxed);
  if (g_host_may_escape) siglongjmp(g_host_escape, 1);
}

bool SameDisposition(const struct sigaction& a, const struct sigaction& b) {
  const bool info = (a.sa_flags & SA_SIGINFO) != 0;
  if (a.sa_flags != b.sa_flags) return false;
  if (info ? a.sa_sigaction != b.sa_sigaction : a.sa_handler != b.sa_handler) return false;
  for (int sig : {SIGUSR1, SIGUSR2, SIGBUS, SIGINT})
    if (sigismember(&a.sa_mask, sig) != sigismember(&b.sa_mask, sig)) return false;
  return true;
}

struct sigaction CurrentBus() {
  struct sigaction now {};
  sigaction(SIGBUS, nullptr, &now);
  return now;
}

// The child's checks: 0 when all held, else the number of the first that failed.
int HostChild(HostBus host, const std::string& name) {
  struct rlimit no_core {};
  setrlimit(RLIMIT_CORE, &no_core);  // the default disposition ends this child with SIGBUS
  struct sigaction mine {};
  sigemptyset(&mine.sa_mask);
  sigaddset(&mine.sa_mask, SIGUSR2);
  mine.sa_flags = SA_RESTART;
  switch (host) {
    case HostBus::kInfoHandler:
      mine.sa_sigaction = &HostInfoHandler;
      mine.sa_flags |= SA_SIGINFO;
      break;
    case HostBus::kPlainHandler:
      mine.sa_handler = &HostPlainHandler;
      break;
    case HostBus::kDefault:
      mine.sa_handler = SIG_DFL;
      break;
    case HostBus::kIgnore:
      mine.sa_handler = SIG_IGN;
      break;
  }
  if (sigaction(SIGBUS, &mine, nullptr) != 0) return 1;
  const struct sigaction before = CurrentBus();
  const bool handled = host == HostBus::kInfoHandler || host == HostBus::kPlainHandler;

  constexpr std::size_t kSize = 3 * 4096;
  platform::SharedView first, second;
  bool created = false;
  if (platform::OpenSharedView(name, kSize, first, created) != platform::Status::kOk) return 2;
  if (platform::OpenSharedView(name, kSize, second, created) != platform::Status::kOk) return 3;
  if (SameDisposition(CurrentBus(), before)) return 4;  // a mapped view is guarded
  const int fd = shm_open(name.c_str(), O_RDWR, 0);
  if (fd < 0) return 5;

  // A section shrunk under a guarded access is still caught, and the host hears nothing of it.
  if (ftruncate(fd, 0) != 0) return 6;
  unsigned char* far = first.data() + 2 * 4096;
  if (platform::Guarded(first, [&] { far[1] = 1; })) return 7;
  if (!platform::RepairSharedView(first) || g_host_calls != 0) return 8;

  // A SIGBUS sent while inside a guarded access is the host's: the access is not cut short.
  bool finished = false;
  if (!platform::Guarded(first, [&] {
        raise(SIGBUS);  // the default disposition ends the child here
        finished = true;
      }))
    return 9;
  if (!finished || g_host_calls != (handled ? 1 : 0)) return 10;
  if (host == HostBus::kInfoHandler && g_host_last_code != SI_TKILL) return 11;
  // Sent outside any guarded access, the way another process sends it.
  kill(getpid(), SIGBUS);
  if (g_host_calls != (handled ? 2 : 0)) return 12;
  if (host == HostBus::kInfoHandler && g_host_last_code != SI_USER) return 13;

  if (handled) {
    // A fault outside every guarded access is the host's too.
    if (ftruncate(fd, 0) != 0) return 14;
    g_host_may_escape = 1;
    if (sigsetjmp(g_host_escape, 1) == 0) {
      *static_cast<volatile unsigned char*>(far) = 2;
      return 15;  // the access cannot have succeeded
    }
    g_host_may_escape = 0;
    if (g_host_calls != 3) return 16;
    if (host == HostBus::kInfoHandler && g_host_last_code != BUS_ADRERR) return 17;
    if (!platform::RepairSharedView(first)) return 18;
  }
  close(fd);

  // Views of other threads count too: the handler stays until the very last view goes.
  platform::Thread threads[2];
  std::atomic<int> failures{0};
  for (platform::Thread& t : threads)
    platform::StartThread(
        [&] {
          for (int i = 0; i < 200; ++i) {
            platform::SharedView v;
            bool c = false;
            if (platform::OpenSharedView(name, kSize, v, c) != platform::Status::kOk) ++failures;
          }
        },
        t);
  for (platform::Thread& t : threads) t.Join();
  if (failures != 0) return 19;
  first.Reset();
  if (SameDisposition(CurrentBus(), before)) return 20;  // `second` is still mapped
  second.Reset();
  if (!SameDisposition(CurrentBus(), before)) return 21;  // the host's own, exactly as it was
  raise(SIGBUS);                                          // and it gets the signal directly again
  if (g_host_calls != (handled ? 4 : 0)) return 22;
  platform::ReleaseSharedObjects();
  return 0;
}

TEST(SharedMemory, TheHostKeepsItsOwnSigbusHandling) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer delivers a sent signal at a safe point of its own, later than the "
                  "checks expect, and drops it there under the default disposition; the other builds "
                  "test this";
#endif
  const struct {
    HostBus host;
    const char* what;
    int status;  // what the child ends with: 0, or 100 + the signal that ended it
  } cases[] = {
      {HostBus::kInfoHandler, "a three-argument handler", 0},
      {HostBus::kPlainHandler, "a one-argument handler", 0},
      {HostBus::kDefault, "the default disposition (a sent SIGBUS ends the process)", 100 + SIGBUS},
      {HostBus::kIgnore, "an ignored SIGBUS", 0},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::string name = "/Tbus" + std::to_string(getpid()) + "_" + std::to_string(index++);
    const pid_t pid = fork();
    if (pid == 0) _exit(HostChild(c.host, name));
    int status = 0;
    waitpid(pid, &status, 0);
    const int result = WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    EXPECT_EQ(result, c.status) << c.what;
    shm_unlink(name.c_str());  // a child ended by the signal could not remove it
  }
}

}  // namespace
