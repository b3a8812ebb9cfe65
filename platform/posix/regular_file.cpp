#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/posix/unique_fd.h"

namespace platform {

namespace {

Status StatusOfErrno() {
  if (errno == ENOENT || errno == ENOTDIR) return Status::kMissing;
  if (errno == EACCES || errno == EPERM) return Status::kNoAccess;
  if (errno == ELOOP) return Status::kLink;  // opened without following a link, and one was there
  return Status::kReadFailed;
}

// Reads what is left of an open regular file, as ReadRegularFile describes.
Status ReadOpened(const UniqueFd& fd, std::size_t max_bytes, bool whole_only, std::vector<uint8_t>& out) {
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Status::kReadFailed;
  if (!S_ISREG(st.st_mode)) return Status::kNotRegular;
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  if (whole_only && size > max_bytes) return Status::kTooLarge;
  out.resize(size < max_bytes ? size : max_bytes);
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::kReadFailed;
    if (n == 0) break;  // the file shrank meanwhile: what it holds now
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return Status::kOk;
}

// True when the group `gid`, or everyone, has the permission bits `other_bit` (S_IROTH, S_IXOTH).
bool SharedPermits(const struct stat& st, long gid, mode_t other_bit) {
  if ((st.st_mode & other_bit) != 0) return true;
  return static_cast<long>(st.st_gid) == gid && (st.st_mode & (other_bit << 3)) != 0;
}

}  // namespace

Status ReadRegularFile(const std::string& path, std::size_t max_bytes, bool whole_only,
                       std::vector<uint8_t>& out) {
  out.clear();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return StatusOfErrno();
  return ReadOpened(fd, max_bytes, whole_only, out);
}

Status ReadRegularFileItself(const std::string& path, std::size_t max_bytes, bool whole_only,
                             std::vector<uint8_t>& out) {
  out.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return StatusOfErrno();
  return ReadOpened(fd, max_bytes, whole_only, out);
}

Status ReadFileForGroup(const std::string& path, long gid, std::size_t max_bytes, bool whole_only,
                        std::vector<uint8_t>& out) {
  out.clear();
  // The folders are resolved, the file's own name is not: a link there is refused, not followed.
  const std::size_t last = path.rfind('/');
  const std::string folder = last == std::string::npos ? "." : last == 0 ? "/" : path.substr(0, last);
  const std::string file = last == std::string::npos ? path : path.substr(last + 1);
  if (file.empty()) return Status::kNotRegular;
  char real_folder[PATH_MAX];
  if (::realpath(folder.c_str(), real_folder) == nullptr) return StatusOfErrno();
  std::string real(real_folder);
  if (real.back() != '/') real += '/';
  real += file;
  UniqueFd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return Status::kReadFailed;
  std::string_view rest(real.c_str() + 1);
  for (;;) {
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0) return Status::kReadFailed;
    if (!SharedPermits(st, gid, S_IXOTH)) return Status::kNotShared;
    const std::size_t slash = rest.find('/');
    const std::string name(rest.substr(0, slash));
    if (slash == std::string_view::npos) {
      UniqueFd fd(
          ::openat(dir.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
      if (!fd) return StatusOfErrno();
      if (::fstat(fd.get(), &st) != 0) return Status::kReadFailed;
      if (S_ISREG(st.st_mode) && !SharedPermits(st, gid, S_IROTH)) return Status::kNotShared;
      return ReadOpened(fd, max_bytes, whole_only, out);
    }
    UniqueFd next(::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return StatusOfErrno();
    dir = std::move(next);
    rest.remove_prefix(slash + 1);
  }
}

UniqueFile OpenFile(const std::string& path, const char* mode) {
  return UniqueFile(std::fopen(path.c_str(), mode));
}

Result CreatePrivateFile(const std::string& path, UniqueFile& out) {
  out.reset();
  // Not truncated by the open itself: what is there is checked first.
  UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
  if (!fd) {
    const int e = errno;
    const Status kind = StatusOfErrno();  // kReadFailed stands for any other reason here
    return Fail(kind == Status::kReadFailed ? Status::kWriteFailed : kind,
                path + ": " + (e == ELOOP ? "a link; it is not followed" : std::strerror(e)));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return Fail(Status::kNotRegular, path + ": not a regular file");
  if (::ftruncate(fd.get(), 0) != 0 || ::fchmod(fd.get(), 0600) != 0)
    return Fail(Status::kWriteFailed, path + ": " + std::strerror(errno));
  // Writes go through a stream; the descriptor's non-blocking flag means nothing for a regular file.
  UniqueFile file(::fdopen(fd.get(), "wb"));
  if (!file) return Fail(Status::kWriteFailed, path + ": " + std::strerror(errno));
  fd.Release();
  out = std::move(file);
  return Ok();
}

}  // namespace platform
