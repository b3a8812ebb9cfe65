#include "platform/shared_memory.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/win32/owner_only.h"
#include "platform/win32/section_index.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide_text.h"

namespace platform {

// One entry per object this process has opened, kept until the process ends: the mapping lives while
// any process holds a handle, so holding it here keeps a section's contents across a reconnect in
// this process. The system closes the handles of a process that ends, killed or not, and removes a
// mapping with its last handle, so nothing needs removing at exit.
struct SharedView::Native {
  std::string name;
  UniqueHandle mapping;
  std::size_t size = 0;
  UniqueHandle claim;    // the named event held while this process claims the object
  bool claimed = false;  // under the registry's mutex
};

struct SharedViewSide {
  static SharedView::Native* Of(const SharedView& view) { return view.native_; }
  static void Fill(SharedView& view, unsigned char* data, std::size_t size, SharedView::Native* native) {
    view.data_ = data;
    view.size_ = size;
    view.native_ = native;
  }
};

namespace {

using Native = SharedView::Native;

struct MappedView {
  std::size_t size = 0;
  const Native* object = nullptr;  // its entry in Registry::objects
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Native>> objects;
  // Every view of this process that is mapped now, by its first byte: the doorbells find the
  // section a word lies in through it.
  std::map<const unsigned char*, MappedView> views;
};

// Counts every view mapped or unmapped in this process. Release on change, acquire in
// SectionsChanged: a doorbell that remembers where a word lies trusts it while the count stays.
std::atomic<uint64_t> views_changed{0};

Registry& Held() {
  static Registry* registry = new Registry;  // never destroyed: views may outlive static destruction
  return *registry;
}

bool ValidName(const std::string& name) {
  if (name.size() < 2 || name.size() > 255 || name[0] != '/') return false;
  // A backslash would name another namespace of the object manager.
  return name.find_first_of("/\\", 1) == std::string::npos && name.find('\0') == std::string::npos;
}

std::string MappingName(const std::string& name) {
  return name.substr(1);
}

std::string ClaimName(const std::string& name) {
  return name.substr(1) + ".claim";
}

std::size_t PageRounded(std::size_t size) {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  const std::size_t page = info.dwPageSize;
  return (size + page - 1) / page * page;
}

}  // namespace

// A mapping has no group to give it to: it is made for its user alone (OwnerOnlyAttributes).
bool SectionsShareWithGroups() {
  return false;
}

// A mapping keeps the size it was made with while anyone holds it.
bool SectionsCanBeCutShort() {
  return false;
}

// The system removes a mapping with its last handle, killed holders included.
bool SectionsOutliveKilledHolders() {
  return false;
}

// The owner is a SID, and another user's mapping cannot be opened to ask.
bool SectionsTellTheirOwner() {
  return false;
}

Result ShareWithGroup(const std::string& /*group_name*/) {
  return Fail(Status::kUnsupported,
              "on Windows a named file mapping cannot be given to a group: only its user, SYSTEM and the "
              "Administrators may open it");
}

std::string DescribeSharedObject(const std::string& name) {
  return name + ": a named file mapping that another user's programs hold";
}

long SharedGroup() {
  return -1;
}

void StopSharing() {}

void SharedView::Reset() {
  if (data_ != nullptr) {
    Registry& registry = Held();
    {
      std::lock_guard<std::mutex> guard(registry.mutex);
      registry.views.erase(data_);
      views_changed.fetch_add(1, std::memory_order_release);
    }
    ::UnmapViewOfFile(data_);
  }
  data_ = nullptr;
  size_ = 0;
  native_ = nullptr;
}

Status OpenSharedView(const std::string& name, std::size_t size, SharedView& out, bool& created) {
  out.Reset();
  created = false;
  if (!ValidName(name) || size == 0) return Status::kBadName;

  Registry& registry = Held();
  std::lock_guard<std::mutex> guard(registry.mutex);
  auto it = registry.objects.find(name);
  bool new_entry = false;
  if (it != registry.objects.end()) {
    if (it->second->size != size) return Status::kWrongSize;
  } else {
    const uint64_t wide = size;
    ::SetLastError(ERROR_SUCCESS);
    UniqueHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, OwnerOnlyAttributes(), PAGE_READWRITE,
                                              static_cast<DWORD>(wide >> 32), static_cast<DWORD>(wide),
                                              Utf16(MappingName(name)).c_str()));
    const DWORD why = ::GetLastError();
    if (!mapping) {
      if (why == ERROR_INVALID_HANDLE) return Status::kNameTaken;
      return why == ERROR_ACCESS_DENIED ? Status::kForeign : Status::kOpenFailed;
    }
    // A new mapping is zeroed by the system.
    created = why != ERROR_ALREADY_EXISTS;
    auto object = std::make_unique<Native>();
    object->name = name;
    object->mapping = std::move(mapping);
    object->size = size;
    it = registry.objects.emplace(name, std::move(object)).first;
    new_entry = true;
  }

  // The whole mapping is viewed, so that one made with another size is seen as such: the region
  // of the view is the mapping's size rounded to pages.
  void* addr = ::MapViewOfFile(it->second->mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (addr == nullptr) {
    if (new_entry) registry.objects.erase(it);
    return created ? Status::kMapFailed : Status::kWrongSize;  // smaller than asked
  }
  MEMORY_BASIC_INFORMATION region{};
  if (::VirtualQuery(addr, &region, sizeof region) == 0 || region.RegionSize != PageRounded(size)) {
    ::UnmapViewOfFile(addr);
    if (new_entry) registry.objects.erase(it);
    return Status::kWrongSize;
  }
  SharedViewSide::Fill(out, static_cast<unsigned char*>(addr), size, it->second.get());
  registry.views[out.data()] = MappedView{size, it->second.get()};
  views_changed.fetch_add(1, std::memory_order_release);
  return Status::kOk;
}

uint64_t SectionsChanged() {
  return views_changed.load(std::memory_order_acquire);
}

bool FindSection(const void* address, const std::string*& name, HANDLE& mapping, std::size_t& offset) {
  const auto* byte = static_cast<const unsigned char*>(address);
  Registry& registry = Held();
  std::lock_guard<std::mutex> guard(registry.mutex);
  auto it = registry.views.upper_bound(byte);
  if (it == registry.views.begin()) return false;
  --it;
  if (byte >= it->first + it->second.size) return false;
  name = &it->second.object->name;
  mapping = it->second.object->mapping.get();
  offset = static_cast<std::size_t>(byte - it->first);
  return true;
}

void ReleaseSharedObjects() {}

// A mapping cannot shrink while it is viewed, so no other process can cut a view short here
// (SectionsCanBeCutShort).
bool RunGuarded(const SharedView& /*view*/, void (*body)(void*), void* context) {
  body(context);
  return true;
}

bool RepairSharedView(const SharedView& view) {
  return view.valid();
}

void SetSharedDamageObserver(std::function<void(const std::string& name)> /*observer*/) {}

// A mapping keeps the size it was made with while anyone holds it.
std::size_t RestoreSharedSizes() {
  return 0;
}

// The system removes a mapping with its last handle, killed holders included: nothing is ever left.
std::size_t ReclaimSharedObjects(const std::function<bool(const std::string& name)>& /*wanted*/) {
  return 0;
}

// The system keeps no list of named objects that a program may read without privileges; what this
// process holds is what it can name.
std::vector<std::string> ListSharedObjects() {
  std::vector<std::string> names;
  Registry& registry = Held();
  std::lock_guard<std::mutex> guard(registry.mutex);
  for (const auto& entry : registry.objects) names.push_back(entry.first);
  return names;
}

long OwnerOf(const SharedView& /*view*/) {
  return -1;
}

bool IsClaimedByName(const std::string& name) {
  if (!ValidName(name)) return false;
  UniqueHandle claim(::OpenEventW(SYNCHRONIZE, FALSE, Utf16(ClaimName(name)).c_str()));
  return static_cast<bool>(claim);
}

bool TryClaim(const SharedView& view) {
  Native* object = SharedViewSide::Of(view);
  if (object == nullptr) return false;
  std::lock_guard<std::mutex> guard(Held().mutex);
  if (object->claimed) return false;
  // The claim is the event's existence: whoever made it holds the claim until it closes the handle
  // or ends, killed or not.
  ::SetLastError(ERROR_SUCCESS);
  UniqueHandle claim(
      ::CreateEventW(OwnerOnlyAttributes(), TRUE, FALSE, Utf16(ClaimName(object->name)).c_str()));
  if (!claim || ::GetLastError() == ERROR_ALREADY_EXISTS) return false;
  object->claim = std::move(claim);
  object->claimed = true;
  return true;
}

bool IsClaimed(const SharedView& view) {
  const Native* object = SharedViewSide::Of(view);
  if (object == nullptr) return false;
  {
    std::lock_guard<std::mutex> guard(Held().mutex);
    if (object->claimed) return true;
  }
  return IsClaimedByName(object->name);
}

void ReleaseClaim(const SharedView& view) {
  Native* object = SharedViewSide::Of(view);
  if (object == nullptr) return;
  std::lock_guard<std::mutex> guard(Held().mutex);
  if (!object->claimed) return;
  object->claim.Reset();
  object->claimed = false;
}

}  // namespace platform
