#include "clients/ros2/instance_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "exchange/sections.h"

namespace ros2_bridge {

std::string ClaimPath(const std::string& robot) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  // /tmp is shared by every user: there the user's id keeps one user's claim from blocking another's.
  const std::string folder = runtime != nullptr && runtime[0] == '/'
                                 ? std::string(runtime)
                                 : "/tmp/trevask-ros2-" + std::to_string(getuid());
  // SectionObjectName escapes every byte a file name may not hold, and starts with '/'.
  return folder + "/trevask-ros2" + exchange::SectionObjectName(robot, ".lock").substr(1).insert(0, "-");
}

platform::Result CInstanceClaim::Claim(const std::string& robot) {
  path_ = ClaimPath(robot);
  const std::string folder = path_.substr(0, path_.rfind('/'));
  struct stat st {};
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return platform::Fail(platform::Status::kWriteFailed,
                          "the folder " + folder + " cannot be made: " + std::strerror(errno));
  }
  // A folder someone else made could hand the claim to them.
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid())
    return platform::Fail(platform::Status::kForeign,
                          "the folder " + folder + " is not a folder of this user's");
  // The file goes when its holder ends cleanly; a bridge that locked it just before it went holds a
  // file nobody else can find, so it tries again with the one the path names now.
  for (int attempt = 0;; ++attempt) {
    fd_ = platform::UniqueFd(open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd_.get() < 0)
      return platform::Fail(platform::Status::kWriteFailed,
                            path_ + " cannot be opened: " + std::strerror(errno));
    if (flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK)
        return platform::Fail(platform::Status::kOpenFailed,
                              path_ + " cannot be locked: " + std::strerror(errno));
      char pid[32] = {};
      const ssize_t n = pread(fd_.get(), pid, sizeof pid - 1, 0);
      fd_.Reset();
      return platform::Fail(
          platform::Status::kBusy,
          "another trevask-ros2 bridges robot '" + robot + "' already" +
              (n > 0 ? " (process " + std::string(pid, static_cast<std::size_t>(n)) + ")" : std::string()) +
              "; it holds " + path_);
    }
    struct stat held {};
    struct stat named {};
    if (fstat(fd_.get(), &held) == 0 && stat(path_.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev)
      break;
    if (attempt == 10)
      return platform::Fail(platform::Status::kOpenFailed,
                            path_ + " keeps being replaced while it is claimed");
  }
  // Who holds it, for the message of the next one that tries.
  const std::string mine = std::to_string(getpid());
  // The claim holds whether this is written or not; only a second bridge's message would lack it.
  const bool noted = ftruncate(fd_.get(), 0) == 0 && pwrite(fd_.get(), mine.data(), mine.size(), 0) > 0;
  static_cast<void>(noted);
  return platform::Ok();
}

CInstanceClaim::~CInstanceClaim() {
  // Removed while it is still locked: whoever opens the path from now on makes a new file.
  if (fd_.get() >= 0) unlink(path_.c_str());
}

}  // namespace ros2_bridge
