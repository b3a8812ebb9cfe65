#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

namespace platform {
namespace {

// Open-file-description locks: held per descriptor like flock, and unlike flock converted from
// exclusive to shared atomically, so no other opener can slip in between creating and sharing.
bool TryLockExclusive(int fd) {
  struct flock l {};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_SETLK, &l) == 0;
}

bool LockShared(int fd) {
  struct flock l {};
  l.l_type = F_RDLCK;
  l.l_whence = SEEK_SET;
  while (fcntl(fd, F_OFD_SETLKW, &l) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

struct HeldObject {
  int fd = -1;
  std::size_t size = 0;
};

// Objects this process holds, by name, with the pid that opened them: a forked child inherits the
// descriptors (and their locks) but must not unlink what its parent still uses.
struct Registry {
  std::mutex mutex;
  std::map<std::string, HeldObject> objects;
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
  int again = shm_open(name.c_str(), O_RDWR, 0600);
  if (again < 0) return false;
  struct stat a {}, b {};
  bool same = fstat(fd, &a) == 0 && fstat(again, &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
  close(again);
  return same;
}

// Opens the named object and takes this process's shared lock on it. Sets `fresh` when no other
// process held it; the caller then resizes it from zero.
ShmStatus AcquireObject(const std::string& name, int& fd_out, bool& fresh) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0) return ShmStatus::kOpenFailed;
    fresh = TryLockExclusive(fd);
    if (!fresh && !LockShared(fd)) {
      close(fd);
      return ShmStatus::kOpenFailed;
    }
    if (!StillNamed(name, fd)) {  // lost a race with a last holder's unlink: start over
      close(fd);
      continue;
    }
    fd_out = fd;
    return ShmStatus::kOk;
  }
  return ShmStatus::kOpenFailed;
}

}  // namespace

const char* ShmStatusText(ShmStatus status) {
  switch (status) {
    case ShmStatus::kOk: return "ok";
    case ShmStatus::kBadName: return "invalid shared-memory name";
    case ShmStatus::kOpenFailed: return "shared memory cannot be opened";
    case ShmStatus::kWrongSize: return "shared memory exists with another size";
    case ShmStatus::kMapFailed: return "shared memory cannot be mapped";
    case ShmStatus::kForeign: return "shared memory of that name belongs to another user";
  }
  return "unknown";
}

SharedView::SharedView(SharedView&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SharedView& SharedView::operator=(SharedView&& other) noexcept {
  if (this != &other) {
    Reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void SharedView::Reset() {
  if (data_ != nullptr) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

ShmStatus OpenSharedView(const std::string& name, std::size_t size, SharedView& out, bool& created) {
  out.Reset();
  created = false;
  if (!ValidName(name) || size == 0) return ShmStatus::kBadName;

  Registry& registry = Held();
  std::lock_guard<std::mutex> guard(registry.mutex);
  if (registry.owner != getpid()) {
    // First use in this process (or in a forked child): inherited entries belong to the parent.
    registry.objects.clear();
    registry.owner = getpid();
  }

  int fd = -1;
  auto it = registry.objects.find(name);
  if (it != registry.objects.end()) {
    if (it->second.size != size) return ShmStatus::kWrongSize;
    fd = it->second.fd;
  } else {
    bool fresh = false;
    ShmStatus st = AcquireObject(name, fd, fresh);
    if (st != ShmStatus::kOk) return st;
    struct stat owner {};
    if (fstat(fd, &owner) != 0 || owner.st_uid != geteuid()) {
      // Another user's object of the same name, held or left behind: never share robot data with it.
      close(fd);
      return ShmStatus::kForeign;
    }
    if (fresh) {
      // Left by processes that have all ended, or brand new: make it new and zeroed.
      if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return ShmStatus::kOpenFailed;
      }
      fchmod(fd, 0600);
      LockShared(fd);
      created = true;
    } else {
      struct stat st_buf {};
      if (fstat(fd, &st_buf) != 0 || static_cast<std::size_t>(st_buf.st_size) != size) {
        close(fd);
        return ShmStatus::kWrongSize;
      }
      if ((st_buf.st_mode & 077) != 0) fchmod(fd, 0600);  // ours, but opened up: close it again
    }
    registry.objects[name] = HeldObject{fd, size};
  }

  void* addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) return ShmStatus::kMapFailed;
  out.data_ = static_cast<unsigned char*>(addr);
  out.size_ = size;
  return ShmStatus::kOk;
}

void ReleaseSharedObjects() {
  Registry& registry = Held();
  std::lock_guard<std::mutex> guard(registry.mutex);
  if (registry.owner != getpid()) return;
  for (auto& [name, object] : registry.objects) {
    // Alone with it: nobody else will read it, so its name goes. Our descriptor keeps it alive for
    // views still mapped.
    if (TryLockExclusive(object.fd)) {
      if (StillNamed(name, object.fd)) shm_unlink(name.c_str());
      LockShared(object.fd);
    }
  }
}

}  // namespace platform
