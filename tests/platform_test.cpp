#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/key_value_file.h"
#include "platform/lock.h"
#include "platform/regular_file.h"
#include "platform/thread.h"

namespace {

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
  platform::Sleep(400);
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
    platform::FileStatus expected;
  } cases[] = {
      {"open.wav", other_group, platform::FileStatus::kOk},
      {"link.wav", other_group, platform::FileStatus::kLink},  // even to a file they may read
      {"link.wav", -1, platform::FileStatus::kLink},
      {"mine.wav", -1, platform::FileStatus::kOk},
      {"pipe.wav", -1, platform::FileStatus::kNotRegular},
      {"mine.wav", other_group, platform::FileStatus::kNotShared},
      {"group.wav", other_group, platform::FileStatus::kNotShared},
      {"group.wav", own_group, platform::FileStatus::kOk},
      {"private/open.wav", other_group, platform::FileStatus::kNotShared},  // a folder they cannot enter
      {"pipe.wav", other_group, platform::FileStatus::kNotRegular},
      {"missing.wav", other_group, platform::FileStatus::kMissing},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes;
    const std::string path = dir + "/" + c.name;
    EXPECT_EQ(c.gid < 0 ? platform::ReadRegularFileItself(path, 1024, true, bytes)
                        : platform::ReadFileForGroup(path, c.gid, 1024, true, bytes),
              c.expected)
        << c.name << " " << c.gid;
    EXPECT_EQ(bytes.size(), c.expected == platform::FileStatus::kOk ? 4u : 0u) << c.name;
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
    std::string got, error;
    EXPECT_TRUE(platform::ReadKeyValueFile(
        path, [&](const std::string&, const std::string& value, std::string&) { return got = value, true; },
        error))
        << error;
    EXPECT_EQ(got, c.value) << c.line;
  }
  std::remove(path.c_str());
}
