// Named shared memory that behaves like a named kernel object: it lives while any process holds it
// and is new again once every holder has ended, killed ones included. Names are "/" and a name of
// 1..254 bytes. Each process keeps the object from its first open until it ends: views come and go
// with their owners, so a section keeps its contents across a reconnect in the same process.
//
// On Windows these are named file mappings, which behave so by themselves (the name without its
// "/"); the claim is a named event beside the mapping. Both are made so that only their user,
// SYSTEM and the Administrators may open them. On POSIX systems each process keeps the
// object's descriptor open with a shared lock on its first byte: an opener that gets the exclusive
// lock without waiting is the only holder, so whatever the object holds is left from processes that
// have all ended; it is zeroed and reported as created. The last holder to end normally removes the
// name (ReleaseSharedObjects); the names of holders killed before they could are removed by the next
// process that reclaims them (ReclaimSharedObjects). Byte 2 of the lock marks the one process that
// claims the object (TryClaim).
//
// What one system's objects can do and another's cannot is asked of the queries below
// (SectionsShareWithGroups and the rest), never assumed: the calls they cover exist on every system
// and do the harmless thing where they do not apply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/status.h"

namespace platform {

// True where the objects can be given to a group of users (Linux). Elsewhere (Windows) an object is
// its user's alone: ShareWithGroup fails with the reason, SharedGroup is -1 and StopSharing does
// nothing.
bool SectionsShareWithGroups();

// True where another process that holds an object, or a tool, can cut it shorter under this process's
// views (POSIX: truncating it). Where it cannot (Windows: a mapping keeps its size while anyone holds
// it), RunGuarded only runs its body and returns true, RepairSharedView returns whether the view is
// valid, RestoreSharedSizes returns 0 and the damage observer is never told: a caller need not call
// them every so often.
bool SectionsCanBeCutShort();

// True where the name of an object outlives holders killed before they could remove it (POSIX), so
// that ReclaimSharedObjects has something to do. Where it does not (Windows removes a mapping with its
// last handle, killed holders' included), ReclaimSharedObjects returns 0.
bool SectionsOutliveKilledHolders();

// True where the system tells who owns an object and how it is shared (POSIX: its user, group and
// mode). Where it does not tell it in those terms (Windows: an object's owner is a SID, and another
// user's object cannot be opened to ask), OwnerOf returns -1 and DescribeSharedObject says only what
// kind of object it is.
bool SectionsTellTheirOwner();

// Who owns the object `name` and how it is shared, for a person who must remove or fix it:
// "/R1SensorShareMem_Zembrin: owned by user alice, group robots, mode 0660" (see
// SectionsTellTheirOwner).
std::string DescribeSharedObject(const std::string& name);

// Objects this process creates from now on belong to group `group_name` with mode 0660, so that
// programs of other users in that group can use them; by default they are the user's alone (0600).
// Objects of other users are used only when shared so with one of this process's groups, and never
// by a process that shares with a group itself (it serves its own objects only, and removes another
// user's object of the same name where the system lets it). False with a reason when the group does
// not exist (kBadArgument) or this user may not give objects to it (kNoAccess), or where the system
// has no such sharing (kUnsupported; SectionsShareWithGroups).
Result ShareWithGroup(const std::string& group_name);
// The group ShareWithGroup shares this process's objects with; -1 when none.
long SharedGroup();

// Undoes ShareWithGroup: objects made from now on are the user's alone, and this process uses other
// users' objects as any client does.
void StopSharing();

// A mapped view of a named object. Move-only; unmaps on destruction.
class SharedView {
 public:
  // What the system's side keeps of the object behind a view (its handle, its claim), defined by that
  // side. It belongs to the process-wide table of held objects, which keeps it until the process ends.
  struct Native;

  SharedView() = default;
  ~SharedView() { Reset(); }
  SharedView(SharedView&& other) noexcept;
  SharedView& operator=(SharedView&& other) noexcept;
  SharedView(const SharedView&) = delete;
  SharedView& operator=(const SharedView&) = delete;

  unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool valid() const { return data_ != nullptr; }
  void Reset();

 private:
  friend struct SharedViewSide;  // the system's side: the only one that makes views or looks inside
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  Native* native_ = nullptr;
};

// Opens (creating when needed) the object `name` of exactly `size` bytes and maps all of it for
// reading and writing into `out`. `created` is true when this call made the object new (zeroed).
// A later open of the same name in the same process reports created = false. Never waits long on
// another process: the owner is checked before any lock, and a lock held beyond about a second
// gives kBusy.
Status OpenSharedView(const std::string& name, std::size_t size, SharedView& out, bool& created);

// Removes the names of objects no other process holds. Runs at normal exit by itself; callable
// earlier by a program that is about to end. Views stay mapped.
void ReleaseSharedObjects();

// Runs `body`, which reads or writes the memory of `view`, and returns true. When another process
// shrinks the object meanwhile (a group member or a tool truncates it), the access past the new end
// is caught instead of ending the process: `body` is cut short there and false is returned, and
// RepairSharedView makes the view usable again. `body` must hold nothing that needs destroying
// (plain copies and atomics on the view): it is left by a jump.
//
// On POSIX systems the catching is a SIGBUS handler, installed while any view of the process is
// mapped and taken away with the last, when the host's own disposition comes back as it was. A
// SIGBUS that is not a guarded access's fault (any other fault, or one sent by kill or raise, even
// during a guarded access) goes to the host's handler, or does what the host's disposition does.
// Where objects cannot be cut short (SectionsCanBeCutShort), `body` just runs.
bool RunGuarded(const SharedView& view, void (*body)(void*), void* context);
template <typename F>
bool Guarded(const SharedView& view, F&& body) {
  return RunGuarded(
      view, [](void* context) { (*static_cast<std::remove_reference_t<F>*>(context))(); }, &body);
}

// Gives the object behind `view` its size back after another process shrank it (what was cut off
// reads as zeros) and tells the damage observer. False when this process may not resize it.
bool RepairSharedView(const SharedView& view);

// Told the name of each object repaired, on the thread that found the damage (the relay logs it).
void SetSharedDamageObserver(std::function<void(const std::string& name)> observer);

// Gives every object this process holds its size back where another process has shrunk or grown it
// (one that holds the object too, or a tool), and tells the damage observer of each. Only an object
// of its exact size is opened, so until then every later opener is refused. For the process that
// serves the objects, called every so often where they can be cut short (SectionsCanBeCutShort);
// returns how many were restored.
std::size_t RestoreSharedSizes();

// Removes the names, among those `wanted` accepts, of this user's objects that no live process holds:
// left by processes that ended without ReleaseSharedObjects (killed by SIGINT, SIGTERM or worse). An
// object some process holds, this one included, stays. Returns how many names went (none where the
// system removes them itself: SectionsOutliveKilledHolders).
std::size_t ReclaimSharedObjects(const std::function<bool(const std::string& name)>& wanted);

// The names of the named objects on this machine ("/" + name), as far as this user may see them
// (Windows gives a program without privileges no list: there, the objects this process holds).
std::vector<std::string> ListSharedObjects();
// The user who owns the object behind `view` (-1 without a view, or see SectionsTellTheirOwner).
long OwnerOf(const SharedView& view);

// True while a process holds the claim of the object `name` (without opening it for good).
bool IsClaimedByName(const std::string& name);

// Claims the object for this process: false when another process (or another claim in this one)
// holds it. The claim ends with ReleaseClaim or with the process.
bool TryClaim(const SharedView& view);
void ReleaseClaim(const SharedView& view);
// True while some process (this one included) holds the claim: it ends with its holder, killed or not.
bool IsClaimed(const SharedView& view);

}  // namespace platform
