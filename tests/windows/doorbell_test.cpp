// The rings' doorbells on Windows: a put in one process ends a wait in another at once, nothing else
// does, and words or counts written by a stranger cost a waiter a look, never a spin or a lost ring.
#include "platform/doorbell.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "exchange/command_ring.h"
#include "exchange/sections.h"
#include "platform/clock.h"
#include "platform/win32/unique_handle.h"
#include "tests/wait_support.h"
#include "tests/windows/children.h"

namespace {

using windows_test::StartChild;

using exchange::SectionId;

std::string UniqueRobot(const char* tag) {
  return std::string("bell") + tag + std::to_string(::GetCurrentProcessId());
}

// The event a child makes once it is ready; waits for it as long as the child lives.
bool ChildReady(const platform::UniqueHandle& child, const std::string& robot) {
  for (;;) {
    platform::UniqueHandle ready(::OpenEventA(SYNCHRONIZE, FALSE, (robot + "ready").c_str()));
    if (ready) return true;
    if (::WaitForSingleObject(child.get(), 5) == WAIT_OBJECT_0) return false;
  }
}

// The count of waits queued on a ring's doorbell word, which every waiter keeps beside the section:
// what tells that a waiter is in its wait. Null until a process has rung or waited on the ring.
class QueuedWaits {
 public:
  QueuedWaits(const std::string& robot, SectionId id) {
    const std::string section = exchange::SectionObjectName(robot, exchange::Spec(id).suffix).substr(1);
    mapping_ = platform::UniqueHandle(
        ::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, (section + "Doorbells").c_str()));
    if (mapping_)
      words_ = static_cast<uint32_t*>(::MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    offset_ = id == SectionId::kCommand ? 0 : 1;  // the head, or the record count
  }
  ~QueuedWaits() {
    if (words_ != nullptr) ::UnmapViewOfFile(words_);
  }
  bool valid() const { return words_ != nullptr; }
  std::atomic_ref<uint32_t> count() { return std::atomic_ref<uint32_t>(words_[offset_]); }

 private:
  platform::UniqueHandle mapping_;
  uint32_t* words_ = nullptr;
  int offset_ = 0;
};

// Until someone waits on the ring's doorbell (the limit in real milliseconds).
bool SomeoneWaits(const std::string& robot, SectionId id, int limit_ms) {
  for (int i = 0; i < limit_ms; ++i) {
    QueuedWaits waits(robot, id);
    if (waits.valid() && waits.count().load() > 0) return true;
    ::Sleep(1);  // polls a count that no event announces
  }
  return false;
}

}  // namespace

// Helpers run as processes of their own (the time scale is 1 in each):
//   wait ROBOT ID   waits on ring ID's doorbell: exits 0 when a ring ended the wait and brought a record
//   put ROBOT       opens the standard sensor ring as its producer and waits to be killed
int ChildMain(int argc, char** argv) {
  if (argc < 2) return 2;
  platform::SetTimeScale(1);
  const std::string what = argv[0], robot = argv[1];
  if (what == "wait" && argc >= 3) {
    exchange::CRingConsumer c;
    if (c.Open(robot, static_cast<SectionId>(std::stoi(argv[2]))) != platform::Status::kOk) return 3;
    platform::Doorbell bell = c.Doorbell();
    if (bell.word == nullptr || c.Pending()) return 4;
    if (platform::WaitForDoorbells(&bell, 1, 50) != platform::DoorbellWait::kTimedOut) return 5;
    platform::UniqueHandle ready(::CreateEventA(nullptr, TRUE, FALSE, (robot + "ready").c_str()));
    if (platform::WaitForDoorbells(&bell, 1, 60000) != platform::DoorbellWait::kRung) return 6;
    return c.Pending() ? 0 : 7;
  }
  if (what == "put") {
    exchange::CRingProducer p;
    if (p.Open(robot, SectionId::kStandardSensor) != platform::Status::kOk) return 3;
    platform::UniqueHandle ready(::CreateEventA(nullptr, TRUE, FALSE, (robot + "ready").c_str()));
    ::Sleep(INFINITE);
  }
  return 2;
}

// For the rings the relay fills (rung on their record count) and the command ring (rung on its head).
TEST(WindowsDoorbells, APutWakesAWaiterInAnotherProcessAtOnce) {
  const testing_support::ScopedTimeScale real_time(1);
  for (SectionId id : {SectionId::kMotorSensor, SectionId::kCommand}) {
    const std::string robot = UniqueRobot(id == SectionId::kCommand ? "c" : "m");
    exchange::CRingProducer p;   // the rings the relay fills
    exchange::CCommandWriter w;  // the command ring, as clients write it
    ASSERT_EQ(id == SectionId::kCommand ? w.Open(robot) : p.Open(robot, id), platform::Status::kOk);
    platform::UniqueHandle child = StartChild("wait " + robot + " " + std::to_string(static_cast<int>(id)));
    ASSERT_TRUE(child);
    ASSERT_TRUE(ChildReady(child, robot)) << "the child ended before it waited";
    ASSERT_TRUE(SomeoneWaits(robot, id, 10000)) << "the child's wait never began";
    const uint8_t record[] = {0x5E, 0xA1, 1};
    const double put_at = platform::MonotonicSeconds();
    ASSERT_EQ(id == SectionId::kCommand ? w.Put(record, 3) : p.Put(record, 3), exchange::PutStatus::kStored);
    ASSERT_EQ(::WaitForSingleObject(child.get(), 30000), WAIT_OBJECT_0);
    EXPECT_LT(platform::MonotonicSeconds() - put_at, 5.0) << "woken by the put, not by the minute's limit";
    DWORD code = 99;
    ::GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(code, 0u) << "ring " << static_cast<int>(id);
  }
}

// A producer killed while a client waits on its ring: the wait runs to its limit, neither failing
// nor ending early, and the ring still works for the next producer.
TEST(WindowsDoorbells, AWaiterWhoseProducerDiesWaitsOutItsLimit) {
  const testing_support::ScopedTimeScale real_time(1);
  const std::string robot = UniqueRobot("k");
  platform::UniqueHandle child = StartChild("put " + robot);
  ASSERT_TRUE(child);
  ASSERT_TRUE(ChildReady(child, robot));
  exchange::CRingConsumer c;
  ASSERT_EQ(c.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  std::thread killer([&] {
    if (SomeoneWaits(robot, SectionId::kStandardSensor, 10000)) ::TerminateProcess(child.get(), 9);
  });
  platform::Doorbell bell = c.Doorbell();
  const double start = platform::MonotonicSeconds();
  EXPECT_EQ(platform::WaitForDoorbells(&bell, 1, 400), platform::DoorbellWait::kTimedOut);
  EXPECT_GE(platform::MonotonicSeconds() - start, 0.39);
  killer.join();
  exchange::CRingProducer next;
  ASSERT_EQ(next.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  const uint8_t record[] = {1, 2, 3};
  ASSERT_EQ(next.Put(record, 3), exchange::PutStatus::kStored);
  EXPECT_EQ(platform::WaitForDoorbells(&bell, 1, 1000), platform::DoorbellWait::kRung);
  EXPECT_TRUE(c.Pending());
}

// A stranger's writes: a moved word wakes the waiter to find nothing, and it waits again; a count of
// waiters scribbled high, with the bell rung in a loop, costs the waiter held-off looks, not a spin,
// and a real put still ends its wait.
TEST(WindowsDoorbells, ScribbledWordsAndCountsCostALookNotASpin) {
  const testing_support::ScopedTimeScale real_time(1);
  const std::string robot = UniqueRobot("s");
  exchange::CRingProducer p;
  ASSERT_EQ(p.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);
  exchange::CRingConsumer c;
  ASSERT_EQ(c.Open(robot, SectionId::kStandardSensor), platform::Status::kOk);

  platform::Doorbell bell = c.Doorbell();
  auto* words = const_cast<uint32_t*>(bell.word) - 1;  // head, then the count
  words[0] = 77;                                       // a head no ring has
  words[1] += 6;
  EXPECT_EQ(platform::WaitForDoorbells(&bell, 1, 1000), platform::DoorbellWait::kRung);
  EXPECT_FALSE(c.Pending()) << "a head outside the ring holds nothing to take";
  words[0] = 0;
  EXPECT_FALSE(c.Take());
  bell = c.Doorbell();
  EXPECT_EQ(platform::WaitForDoorbells(&bell, 1, 100), platform::DoorbellWait::kTimedOut);

  // The count of queued waits sits beside the section; a stranger may write anything there.
  platform::RingDoorbell(bell.word);  // makes the objects, as the first put does
  QueuedWaits waits(robot, SectionId::kStandardSensor);
  ASSERT_TRUE(waits.valid());
  constexpr uint32_t kScribbled = 0x7FFFFFF0;
  waits.count().store(kScribbled);
  std::atomic<bool> stop{false};
  std::thread storm([&] {
    while (!stop.load()) platform::RingDoorbell(bell.word);
  });
  const uint64_t stray_before = platform::StrayDoorbellWakes();
  const double start = platform::MonotonicSeconds();
  EXPECT_EQ(platform::WaitForDoorbells(&bell, 1, 500), platform::DoorbellWait::kTimedOut);
  const double wall = platform::MonotonicSeconds() - start;
  const uint64_t stray = platform::StrayDoorbellWakes() - stray_before;
  EXPECT_GE(wall, 0.49);
  // Held off 0.25 ms, doubling to 4 ms: about 130 looks in half a second, where a spin makes thousands.
  EXPECT_GT(stray, 0u) << "the storm was not heard";
  EXPECT_LT(stray, 200u) << "the waiter spun through the storm's wakes";

  std::thread put([&] {
    while (waits.count().load() == kScribbled) ::Sleep(1);  // until the waiter has counted itself in
    const uint8_t record[] = {4, 5, 6};
    p.Put(record, 3);
  });
  EXPECT_EQ(platform::WaitForDoorbells(&bell, 1, 5000), platform::DoorbellWait::kRung);
  EXPECT_TRUE(c.Pending());
  put.join();
  stop.store(true);
  storm.join();
  waits.count().store(0);
}
