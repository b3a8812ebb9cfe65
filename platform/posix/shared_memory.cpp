#include "platform/shared_memory.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/posix/section_index.h"

namespace platform {
namespace {

// The group objects this process creates are shared with; -1: none (mode 0600). Set once at start-up
// before any object is opened; relaxed, as it orders nothing else.
std::atomic<long> g_share_gid{-1};

// True when `gid` is this process's group or one of its supplementary groups.
bool InOurGroups(gid_t gid) {
  if (gid == getegid()) return true;
  const int n = getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  const int got = getgroups(n, groups.data());
  for (int i = 0; i < got; ++i)
    if (groups[static_cast<std::size_t>(i)] == gid) return true;
  return false;
}

// True once ShareWithGroup made this process the one that serves its objects to a group.
bool Serving() {
  return g_share_gid.load(std::memory_order_relaxed) >= 0;
}

// Our own objects, and another user's objects that user shared with one of our groups (mode 0660 and
// nothing for anyone else). Anything else of the same name is never used. A process that serves a
// group uses its own objects only: one that a member made first, the member could later open up to
// everyone.
bool Usable(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return false;
  if (st.st_uid == geteuid()) return true;
  if (Serving()) return false;
  return (st.st_mode & 07777) == 0660 && InOurGroups(st.st_gid);
}

// The mode of an object this process made: its user's only, or shared with the group it was asked to
// share with. Never anything for other users.
void SetOwnMode(int fd) {
  const long gid = g_share_gid.load(std::memory_order_relaxed);
  if (gid >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) == 0)
    fchmod(fd, 0660);
  else
    fchmod(fd, 0600);
}

constexpr off_t kLifetimeByte = 0;
constexpr off_t kClaimByte = 2;
// How long an open waits for another process's lifetime lock (it is only ever held exclusively for
// the moments of making an object new or removing its name).
constexpr uint32_t kLockWaitMs = 1000;

// Open-file-description locks: held per descriptor like flock, and unlike flock converted from
// exclusive to shared atomically, so no other opener can slip in between creating and sharing.
bool SetLock(int fd, off_t byte, short type) {
  struct flock l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = byte;
  l.l_len = 1;
  while (fcntl(fd, F_OFD_SETLK, &l) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Retries a lock that another holder keeps for a moment; never waits beyond `limit_ms`.
bool LockWithin(int fd, off_t byte, short type, uint32_t limit_ms) {
  const uint32_t start = TickCount();
  for (;;) {
    if (SetLock(fd, byte, type)) return true;
    if (errno != EAGAIN && errno != EACCES) return false;
    if (TickElapsed(TickCount(), start) >= limit_ms) return false;
    Sleep(1);
  }
}

}  // namespace

// One object this process holds: its descriptor, with this process's lock on it.
struct SharedView::Native {
  std::string name;
  int fd = -1;
  std::size_t size = 0;
  bool claimed = false;  // this process holds the claim; under the registry's mutex
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

// Objects this process holds, by name, with the pid that opened them: a forked child inherits the
// descriptors (and their locks) but must not unlink what its parent still uses.
struct Registry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Native>> objects;
  std::vector<std::unique_ptr<Native>> inherited;  // a forked child's entries of its parent
  pid_t owner = 0;
};

Registry& Held() {
  static Registry* registry = [] {
    auto* r = new Registry;
    std::atexit(&ReleaseSharedObjects);
    return r;
  }();
  return *registry;
}

bool ValidName(const std::string& name) {
  if (name.size() < 2 || name.size() > 255 || name[0] != '/') return false;
  return name.find('/', 1) == std::string::npos && name.find('\0') == std::string::npos;
}

// True when `fd` still is the object the name refers to (nobody unlinked and re-created it between
// our shm_open and our lock).
bool StillNamed(const std::string& name, int fd) {
  int again = shm_open(name.c_str(), O_RDONLY | O_NOFOLLOW, 0);
  if (again < 0) return false;
  struct stat a {
  }, b{};
  bool same = fstat(fd, &a) == 0 && fstat(again, &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
  close(again);
  return same;
}

// Opens the named object and takes this process's shared lock on it. Sets `fresh` when no other
// process held it; the caller then resizes it from zero. The owner is checked before any lock, so
// another user's object, locked or not, never makes this wait.
Status AcquireObject(const std::string& name, int& fd_out, bool& fresh) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (fd < 0) return errno == EACCES ? Status::kForeign : Status::kOpenFailed;
    struct stat owner {};
    if (fstat(fd, &owner) != 0 || !Usable(owner)) {
      // Another user's object of the same name, held or left behind and not shared with one of our
      // groups: never share robot data with it. One that squats the name of an object we serve is
      // removed and made anew where the system lets us (root may remove any name).
      close(fd);
      if (Serving() && shm_unlink(name.c_str()) == 0) continue;
      return Status::kForeign;
    }
    fresh = SetLock(fd, kLifetimeByte, F_WRLCK);
    if (!fresh && !LockWithin(fd, kLifetimeByte, F_RDLCK, kLockWaitMs)) {
      const bool busy = errno == EAGAIN || errno == EACCES;
      close(fd);
      return busy ? Status::kBusy : Status::kOpenFailed;
    }
    if (!StillNamed(name, fd)) {  // lost a race with a last holder's unlink: start over
      close(fd);
      continue;
    }
    fd_out = fd;
    return Status::kOk;
  }
  return Status::kOpenFailed;
}

}  // namespace

bool SectionsShareWithGroups() {
  return true;
}

// Any holder (or a tool) may truncate the object under the others' views.
bool SectionsCanBeCutShort() {
  return true;
}

// A name lives until someone unlinks it; a killed holder never does.
bool SectionsOutliveKilledHolders() {
  return true;
}

bool SectionsTellTheirOwner() {
  return true;
}

Result ShareWithGroup(const std::string& group_name) {
  const group* g = getgrnam(group_name.c_str());
  if (g == nullptr) return Fail(Status::kBadArgument, "there is no group '" + group_name + "'");
  if (geteuid() != 0 && !InOurGroups(g->gr_gid)) {
    return Fail(Status::kNoAccess,
                "this user is not in group '" + group_name + "', so it cannot share the sections with it");
  }
  g_share_gid.store(static_cast<long>(g->gr_gid), std::memory_order_relaxed);
  return Ok();
}

std::string DescribeSharedObject(const std::string& name) {
  struct stat st {};
  if (!ValidName(name) || stat(("/dev/shm" + name).c_str(), &st) != 0) return name + ": not there";
  const passwd* user = getpwuid(st.st_uid);
  const group* grp = getgrgid(st.st_gid);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return name + ": owned by user " + (user != nullptr ? user->pw_name : std::to_string(st.st_uid)) +
         ", group " + (grp != nullptr ? grp->gr_name : std::to_string(st.st_gid)) + ", mode " + mode;
}

long SharedGroup() {
  return g_share_gid.load(std::memory_order_relaxed);
}

void StopSharing() {
  g_share_gid.store(-1, std::memory_order_relaxed);
}

namespace {

// A guarded stretch of one thread: where to jump back to when an access inside [low, high) faults.
struct GuardFrame {
  sigjmp_buf back;
  const unsigned char* low;
  const unsigned char* high;
  GuardFrame* outer;
};
// Initial-exec: the handler reads it on whatever thread faulted, and in a library loaded at run time
// (a Python or Qt host) a first read of dynamic TLS may allocate, which a fault inside malloc would
// turn into a deadlock.
[[gnu::tls_model("initial-exec")]] thread_local GuardFrame* t_guard = nullptr;

// The host's SIGBUS disposition, ours while any view of this process is mapped. Installed with the
// first live view and put back with the last, so a Python, Qt or COM host that closes its controls
// has the signal handling it had before it opened one. g_host_bus is written under g_bus_mutex
// before our handler is installed (and by the handler for a one-shot host handler), and read by the
// handler; the count is only touched under the mutex.
std::mutex g_bus_mutex;
std::size_t g_live_views = 0;
struct sigaction g_host_bus {};

// A signal some process sent (kill, sigqueue, raise, tgkill) rather than a fault of an access: these
// carry si_code SI_USER, SI_QUEUE, SI_TKILL and the like, all at most 0, and their si_addr means
// nothing. They always go to the host, even when they arrive inside a guarded access.
bool Sent(const siginfo_t* info) {
  return info == nullptr || info->si_code <= 0;
}

// What the host would have had happen: its handler runs with its own mask, an ignored signal stays
// ignored, and the default ends the process with SIGBUS as it would have without us.
void PassToHost(int signal_number, siginfo_t* info, void* context) {
  const struct sigaction host = g_host_bus;
  if ((host.sa_flags & SA_RESETHAND) != 0) {
    // A one-shot handler: the kernel would have put the default back before running it.
    g_host_bus.sa_handler = SIG_DFL;
    g_host_bus.sa_flags &= ~(SA_SIGINFO | SA_RESETHAND);
  }
  const bool with_info = (host.sa_flags & SA_SIGINFO) != 0;
  const bool has_function =
      with_info ? host.sa_sigaction != nullptr : host.sa_handler != SIG_DFL && host.sa_handler != SIG_IGN;
  if (has_function) {
    sigset_t block = host.sa_mask;
    if ((host.sa_flags & SA_NODEFER) == 0) sigaddset(&block, signal_number);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &block, &before);
    if (with_info)
      host.sa_sigaction(signal_number, info, context);
    else
      host.sa_handler(signal_number);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return;
  }
  if (host.sa_handler == SIG_IGN && Sent(info)) return;
  // The default, or a fault the host ignores (which the kernel ends the process for anyway): the
  // host's disposition goes back, a sent signal is raised again (not blocked: ours runs with
  // SA_NODEFER) and a faulting access runs again; either ends the process by SIGBUS.
  struct sigaction end = host;
  if (host.sa_handler == SIG_IGN) end.sa_handler = SIG_DFL;
  sigaction(signal_number, &end, nullptr);
  if (Sent(info)) raise(signal_number);
}

void OnBusError(int signal_number, siginfo_t* info, void* context) {
  if (!Sent(info)) {
    const auto* address = static_cast<const unsigned char*>(info->si_addr);
    for (GuardFrame* frame = t_guard; frame != nullptr; frame = frame->outer) {
      if (address >= frame->low && address < frame->high) {
        t_guard = frame->outer;
        siglongjmp(frame->back, 1);
      }
    }
  }
  // Not a shrunk section of a guarded access: the host's.
  PassToHost(signal_number, info, context);
}

// Counts a view mapped; the first installs our handler over the host's.
void HoldBusHandler() {
  std::lock_guard<std::mutex> guard(g_bus_mutex);
  if (g_live_views++ > 0) return;
  struct sigaction host {};
  if (sigaction(SIGBUS, nullptr, &host) != 0) return;
  g_host_bus = host;  // before ours can run
  struct sigaction ours {};
  ours.sa_sigaction = &OnBusError;
  sigemptyset(&ours.sa_mask);
  // No mask to restore after the jump: the signal is not blocked while the handler runs. An alternate
  // stack the host asked for is kept.
  ours.sa_flags = SA_SIGINFO | SA_NODEFER | (host.sa_flags & SA_ONSTACK);
  sigaction(SIGBUS, &ours, nullptr);
}

// Counts a view unmapped; the last puts the host's disposition back, unless the host has installed
// another one meanwhile (that one stays).
void LetGoOfBusHandler() {
  std::lock_guard<std::mutex> guard(g_bus_mutex);
  if (g_live_views == 0 || --g_live_views > 0) return;
  struct sigaction current {};
  if (sigaction(SIGBUS, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
      current.sa_sigaction == &OnBusError)
    sigaction(SIGBUS, &g_host_bus, nullptr);
}

}  // namespace

void SharedView::Reset() {
  if (data_ != nullptr) {
    ForgetView(data_);
    munmap(data_, size_);
    LetGoOfBusHandler();
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
  if (registry.owner != getpid()) {
    // First use in this process (or in a forked child): inherited entries belong to the parent. Views
    // the child inherited still point at them, so they are put aside, not freed.
    for (auto& entry : registry.objects) registry.inherited.push_back(std::move(entry.second));
    registry.objects.clear();
    registry.owner = getpid();
  }

  auto it = registry.objects.find(name);
  if (it != registry.objects.end()) {
    if (it->second->size != size) return Status::kWrongSize;
  } else {
    int fd = -1;
    bool fresh = false;
    Status st = AcquireObject(name, fd, fresh);
    if (st != Status::kOk) return st;
    if (fresh) {
      // Left by processes that have all ended, or brand new: make it new and zeroed.
      if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return Status::kOpenFailed;
      }
      struct stat mine {};
      if (fstat(fd, &mine) == 0 && mine.st_uid == geteuid()) SetOwnMode(fd);
      SetLock(fd, kLifetimeByte, F_RDLCK);  // exclusive to shared in one step
      created = true;
    } else {
      struct stat st_buf {};
      if (fstat(fd, &st_buf) != 0 || static_cast<std::size_t>(st_buf.st_size) != size) {
        close(fd);
        return Status::kWrongSize;
      }
      // Ours, but opened up to everyone: close it again. (A group a relay of this user shared it with
      // keeps it; that is mode 0660, nothing for others.)
      if (st_buf.st_uid == geteuid() && (st_buf.st_mode & 007) != 0) SetOwnMode(fd);
    }
    auto object = std::make_unique<Native>();
    object->name = name;
    object->fd = fd;
    object->size = size;
    it = registry.objects.emplace(name, std::move(object)).first;
  }

  void* addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, it->second->fd, 0);
  if (addr == MAP_FAILED) return Status::kMapFailed;
  HoldBusHandler();
  SharedViewSide::Fill(out, static_cast<unsigned char*>(addr), size, it->second.get());
  NoteView(out.data(), size, name);
  return Status::kOk;
}

void ReleaseSharedObjects() {
  Registry& registry = Held();
  std::lock_guard<std::mutex> guard(registry.mutex);
  if (registry.owner != getpid()) return;
  for (auto& [name, object] : registry.objects) {
    // Every holder lets go of its shared lock before it tries the exclusive one, so of holders that
    // end together the last one to try finds nobody left and removes the name, whatever the timing.
    SetLock(object->fd, kLifetimeByte, F_UNLCK);
    if (SetLock(object->fd, kLifetimeByte, F_WRLCK)) {
      if (StillNamed(name, object->fd)) shm_unlink(name.c_str());
      SetLock(object->fd, kLifetimeByte, F_UNLCK);
    }
  }
}

namespace {

std::mutex g_observer_mutex;
std::function<void(const std::string&)> g_damage_observer;

}  // namespace

bool RunGuarded(const SharedView& view, void (*body)(void*), void* context) {
  if (!view.valid()) {
    body(context);
    return true;
  }
  GuardFrame frame;
  frame.low = view.data();
  frame.high = view.data() + view.size();
  frame.outer = t_guard;
  if (sigsetjmp(frame.back, 0) != 0) {
    t_guard = frame.outer;
    return false;
  }
  t_guard = &frame;
  body(context);
  t_guard = frame.outer;
  return true;
}

namespace {

// Gives the object behind `fd` its size `size` back when another process changed it. Clients open
// only an object of exactly their size, so one shrunk or grown behind our back shuts every later
// client out until it is mended; what was cut off reads as zeros, what was added goes again.
enum class SizeCheck { kSame, kRestored, kFailed };
SizeCheck RestoreSize(int fd, std::size_t size) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return SizeCheck::kFailed;
  if (static_cast<std::size_t>(st.st_size) == size) return SizeCheck::kSame;
  return ftruncate(fd, static_cast<off_t>(size)) == 0 ? SizeCheck::kRestored : SizeCheck::kFailed;
}

void TellDamage(const std::string& name) {
  std::function<void(const std::string&)> observer;
  {
    std::lock_guard<std::mutex> guard(g_observer_mutex);
    observer = g_damage_observer;
  }
  if (observer) observer(name);
}

}  // namespace

bool RepairSharedView(const SharedView& view) {
  const Native* object = SharedViewSide::Of(view);
  if (!view.valid() || RestoreSize(object->fd, view.size()) == SizeCheck::kFailed) return false;
  TellDamage(object->name);
  return true;
}

std::size_t RestoreSharedSizes() {
  std::vector<std::string> restored;
  {
    Registry& registry = Held();
    std::lock_guard<std::mutex> guard(registry.mutex);
    if (registry.owner != getpid()) return 0;
    for (const auto& [name, object] : registry.objects)
      if (RestoreSize(object->fd, object->size) == SizeCheck::kRestored) restored.push_back(name);
  }
  for (const std::string& name : restored) TellDamage(name);  // outside the lock: the observer logs
  return restored.size();
}

std::size_t ReclaimSharedObjects(const std::function<bool(const std::string& name)>& wanted) {
  std::size_t removed = 0;
  for (const std::string& name : ListSharedObjects()) {
    if (!ValidName(name) || !wanted(name)) continue;
    const int fd = shm_open(name.c_str(), O_RDWR | O_NOFOLLOW, 0);
    if (fd < 0) continue;
    // Every process that holds the object keeps a shared lock on its lifetime byte (this one too,
    // through descriptors of its own, which conflict with this new one): the exclusive lock is ours
    // only when no live process holds it. Only this user's objects: another user's are theirs to
    // remove, and the system would refuse anyway. An opener that found the name meanwhile sees it
    // gone once we let go of the lock, and makes the object anew.
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        SetLock(fd, kLifetimeByte, F_WRLCK) && StillNamed(name, fd) && shm_unlink(name.c_str()) == 0)
      ++removed;
    close(fd);  // and with it the lock
  }
  return removed;
}

void SetSharedDamageObserver(std::function<void(const std::string& name)> observer) {
  std::lock_guard<std::mutex> guard(g_observer_mutex);
  g_damage_observer = std::move(observer);
}

std::vector<std::string> ListSharedObjects() {
  std::vector<std::string> names;
  if (DIR* dir = opendir("/dev/shm")) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') names.push_back(std::string("/") + entry->d_name);
    closedir(dir);
  }
  return names;
}

long OwnerOf(const SharedView& view) {
  struct stat st {};
  if (!view.valid() || fstat(SharedViewSide::Of(view)->fd, &st) != 0) return -1;
  return static_cast<long>(st.st_uid);
}

bool IsClaimedByName(const std::string& name) {
  if (!ValidName(name)) return false;
  const int fd = shm_open(name.c_str(), O_RDONLY | O_NOFOLLOW, 0);
  if (fd < 0) return false;
  struct flock l {};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  l.l_start = kClaimByte;
  l.l_len = 1;
  const bool claimed = fcntl(fd, F_OFD_GETLK, &l) == 0 && l.l_type != F_UNLCK;
  close(fd);
  return claimed;
}

bool TryClaim(const SharedView& view) {
  Native* object = SharedViewSide::Of(view);
  if (object == nullptr) return false;
  std::lock_guard<std::mutex> guard(Held().mutex);
  if (object->claimed) return false;
  if (!SetLock(object->fd, kClaimByte, F_WRLCK)) return false;
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
  // Our own descriptor's locks never conflict with themselves, so this sees other processes' only.
  struct flock l {};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  l.l_start = kClaimByte;
  l.l_len = 1;
  if (fcntl(object->fd, F_OFD_GETLK, &l) != 0) return false;
  return l.l_type != F_UNLCK;
}

void ReleaseClaim(const SharedView& view) {
  Native* object = SharedViewSide::Of(view);
  if (object == nullptr) return;
  std::lock_guard<std::mutex> guard(Held().mutex);
  if (!object->claimed) return;
  SetLock(object->fd, kClaimByte, F_UNLCK);
  object->claimed = false;
}

}  // namespace platform
