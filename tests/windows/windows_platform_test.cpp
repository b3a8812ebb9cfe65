// The platform layer's Windows side, under the same promises as the POSIX side: named sections that
// live while any process holds them, a claim that ends with its holder, killed or not, the clock's
// scale, threads, and files read only when they are regular files.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "exchange/sections.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/regular_file.h"
#include "platform/shared_memory.h"
#include "platform/thread.h"
#include "platform/win32/unique_handle.h"
#include "tests/wait_support.h"
#include "tests/windows/children.h"

namespace {

using windows_test::ExitCodeOf;
using windows_test::StartChild;

std::string Unique(const char* tag) {
  return "/T" + std::to_string(::GetCurrentProcessId()) + tag;
}

// The SIDs, as text, that the DACL of the kernel object `object` allows in ("none": no DACL at all,
// which lets everyone in), sorted; a denying or other entry shows as "other".
std::vector<std::string> AllowedSids(HANDLE object) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS)
    return {"unreadable"};
  std::vector<std::string> sids;
  if (dacl == nullptr) sids.push_back("none");
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      sids.push_back("other");
      continue;
    }
    char* text = nullptr;
    if (::ConvertSidToStringSidA(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &text)) {
      sids.push_back(text);
      ::LocalFree(text);
    }
  }
  ::LocalFree(descriptor);
  std::sort(sids.begin(), sids.end());
  return sids;
}

std::string OwnUserSid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return "";
  platform::UniqueHandle token(raw);
  unsigned char buffer[256];
  DWORD size = 0;
  char* text = nullptr;
  if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) ||
      !::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
    return "";
  std::string sid = text;
  ::LocalFree(text);
  return sid;
}

}  // namespace

// Helpers run as processes of their own:
//   open NAME SIZE   exits with 10 * status + created, after checking the first word is 0x5EED
//   claim NAME       claims the object, marks byte 8 and waits to be ended
int ChildMain(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string what = argv[0], name = argv[1];
  platform::SharedView view;
  bool created = false;
  if (what == "open" && argc >= 3) {
    const platform::Status s = platform::OpenSharedView(name, std::stoul(argv[2]), view, created);
    if (s == platform::Status::kOk && !created && std::memcmp(view.data(), "\xED\x5E", 2) != 0) return 3;
    return 10 * static_cast<int>(s) + (created ? 1 : 0);
  }
  if (what == "claim") {
    if (platform::OpenSharedView(name, 4096, view, created) != platform::Status::kOk) return 4;
    if (!platform::TryClaim(view)) return 5;
    reinterpret_cast<std::atomic<uint8_t>*>(view.data() + 8)->store(1);
    ::Sleep(INFINITE);
  }
  return 2;
}

TEST(WindowsSections, LiveWhileHeldAndSizedOnce) {
  const std::string name = Unique("S");
  platform::SharedView first, again;
  bool created = false;
  ASSERT_EQ(platform::OpenSharedView(name, 4096, first, created), platform::Status::kOk);
  EXPECT_TRUE(created);
  EXPECT_EQ(first.data()[100], 0) << "a new section is zeroed";
  std::memcpy(first.data(), "\xED\x5E", 2);
  ASSERT_EQ(platform::OpenSharedView(name, 4096, again, created), platform::Status::kOk);
  EXPECT_FALSE(created);
  EXPECT_EQ(again.data()[0], 0xED);

  struct {
    const char* what;
    std::string words;
    DWORD exit_code;
  } children[] = {
      {"another process finds it made, with its contents", "open " + name + " 4096", 0},
      {"another size is refused", "open " + name + " 8192",
       10 * static_cast<DWORD>(platform::Status::kWrongSize)},
      {"a new name is made zeroed", "open " + Unique("N") + " 4096", 1},
      {"a name with a backslash is refused", "open /a\\b 4096",
       10 * static_cast<DWORD>(platform::Status::kBadName)},
  };
  for (const auto& c : children) {
    platform::UniqueHandle child = StartChild(c.words);
    ASSERT_TRUE(child) << c.what;
    EXPECT_EQ(ExitCodeOf(child), c.exit_code) << c.what;
  }
  platform::SharedView other_size;
  EXPECT_EQ(platform::OpenSharedView(name, 8192, other_size, created), platform::Status::kWrongSize);

  // An event that holds a name first: the section cannot have it, and says why.
  const std::string taken = Unique("E");
  platform::UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, taken.substr(1).c_str()));
  ASSERT_TRUE(event);
  platform::SharedView none;
  EXPECT_EQ(platform::OpenSharedView(taken, 4096, none, created), platform::Status::kNameTaken);
  EXPECT_STREQ(platform::StatusText(platform::Status::kNameTaken), "another kind of object has that name");
  // A named file mapping has no group to be given to: asked to, the relay says so rather than serve
  // a group it cannot.
  EXPECT_FALSE(platform::SectionsShareWithGroups());
  EXPECT_EQ(platform::ShareWithGroup("robots").status, platform::Status::kUnsupported);
}

TEST(WindowsSections, AClaimEndsWithItsHolderKilledOrNot) {
  const std::string name = Unique("C");
  platform::SharedView view;
  bool created = false;
  ASSERT_EQ(platform::OpenSharedView(name, 4096, view, created), platform::Status::kOk);
  platform::UniqueHandle child = StartChild("claim " + name);
  ASSERT_TRUE(child);
  auto* marked = reinterpret_cast<std::atomic<uint8_t>*>(view.data() + 8);
  for (int i = 0; i < 3000 && marked->load() == 0; ++i) ::Sleep(10);
  ASSERT_EQ(marked->load(), 1) << "the child did not claim";
  EXPECT_TRUE(platform::IsClaimed(view));
  EXPECT_TRUE(platform::IsClaimedByName(name));
  EXPECT_FALSE(platform::TryClaim(view));
  ::TerminateProcess(child.get(), 9);
  ::WaitForSingleObject(child.get(), 60000);
  EXPECT_FALSE(platform::IsClaimed(view));
  ASSERT_TRUE(platform::TryClaim(view));
  EXPECT_FALSE(platform::TryClaim(view)) << "one claim per object in a process";
  platform::ReleaseClaim(view);
  EXPECT_FALSE(platform::IsClaimedByName(name));
}

// A section and its claim are their user's: only that user, SYSTEM and the Administrators may open
// them, never everyone, every signed-in user or the logon session.
TEST(WindowsSections, OnlyTheirUserSystemAndAdministratorsMayOpenThem) {
  const std::string name = Unique("O");
  platform::SharedView view;
  bool created = false;
  ASSERT_EQ(platform::OpenSharedView(name, 4096, view, created), platform::Status::kOk);
  ASSERT_TRUE(platform::TryClaim(view));
  std::vector<std::string> expected = {OwnUserSid(), "S-1-5-18", "S-1-5-32-544"};
  std::sort(expected.begin(), expected.end());
  struct {
    const char* what;
    platform::UniqueHandle object;
  } objects[] = {
      {"the mapping",
       platform::UniqueHandle(::OpenFileMappingA(READ_CONTROL, FALSE, name.substr(1).c_str()))},
      {"the claim",
       platform::UniqueHandle(::OpenEventA(READ_CONTROL, FALSE, (name.substr(1) + ".claim").c_str()))},
  };
  for (const auto& o : objects) {
    ASSERT_TRUE(o.object) << o.what;
    EXPECT_EQ(AllowedSids(o.object.get()), expected) << o.what;
  }
  platform::ReleaseClaim(view);
}

TEST(WindowsSections, RecordsGoThroughARing) {
  const std::string robot = "W" + std::to_string(::GetCurrentProcessId());
  exchange::CRingProducer producer;
  exchange::CRingConsumer consumer;
  ASSERT_EQ(producer.Open(robot, exchange::SectionId::kStandardSensor), platform::Status::kOk);
  ASSERT_EQ(consumer.Open(robot, exchange::SectionId::kStandardSensor), platform::Status::kOk);
  uint8_t record[40];
  for (uint8_t i = 0; i < 40; ++i) record[i] = static_cast<uint8_t>(i * 3);
  ASSERT_EQ(producer.Put(record, sizeof record), exchange::PutStatus::kStored);
  uint8_t out[64] = {};
  uint32_t length = 0;
  ASSERT_TRUE(consumer.TakeCopy(out, sizeof out, length));
  EXPECT_EQ(length, 40u);
  EXPECT_EQ(std::memcmp(out, record, 40), 0);
}

TEST(WindowsPlatform, ClockThreadsProcessesAndFiles) {
  const testing_support::ScopedTimeScale fast(0.05);
  const uint32_t start = platform::TickCount();
  platform::Sleep(2000);  // 100 ms of wall time
  EXPECT_GE(platform::TickElapsed(platform::TickCount(), start), 2000u);

  std::atomic<int> ran{0};
  platform::Thread thread;
  ASSERT_TRUE(platform::StartThread([&] { ran.store(1); }, thread));
  thread.Join();
  EXPECT_EQ(ran.load(), 1);

  EXPECT_TRUE(platform::ProcessAlive(platform::ProcessId()));
  platform::UniqueHandle child = StartChild("none x");
  ASSERT_TRUE(child);
  DWORD gone_id = ::GetProcessId(child.get());
  ExitCodeOf(child);
  child.Reset();
  EXPECT_FALSE(platform::ProcessAlive(gone_id));

  char folder[MAX_PATH];
  ::GetTempPathA(MAX_PATH, folder);
  const std::string path = std::string(folder) + "trevask-test-" + std::to_string(::GetCurrentProcessId());
  {
    platform::UniqueFile f;
    const platform::Result created = platform::CreatePrivateFile(path, f);
    ASSERT_TRUE(created.ok()) << created.message;
    ASSERT_TRUE(f);
    std::fputs("hello", f.get());
    ASSERT_TRUE(platform::CloseFile(f));
  }
  std::vector<uint8_t> bytes;
  struct {
    std::string path;
    platform::Status status;
  } reads[] = {
      {path, platform::Status::kOk},
      {path + ".missing", platform::Status::kMissing},
      {folder, platform::Status::kNotRegular},
      {"NUL", platform::Status::kNotRegular},
  };
  for (const auto& r : reads)
    EXPECT_EQ(platform::ReadRegularFile(r.path, 100, false, bytes), r.status) << r.path;
  ASSERT_EQ(platform::ReadRegularFile(path, 3, false, bytes), platform::Status::kOk);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "hel");
  EXPECT_EQ(platform::ReadRegularFile(path, 3, true, bytes), platform::Status::kTooLarge);
  ::DeleteFileA(path.c_str());
}
