#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace platform {

const char* FileStatusText(FileStatus status) {
  switch (status) {
    case FileStatus::kOk:
      return "ok";
    case FileStatus::kMissing:
      return "no such file";
    case FileStatus::kNoAccess:
      return "permission denied";
    case FileStatus::kNotRegular:
      return "not a regular file";
    case FileStatus::kTooLarge:
      return "too large";
    case FileStatus::kReadFailed:
      return "cannot be read";
  }
  return "unknown";
}

FileStatus ReadRegularFile(const std::string& path, std::size_t max_bytes, bool whole_only,
                           std::vector<uint8_t>& out) {
  out.clear();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT || errno == ENOTDIR) return FileStatus::kMissing;
    if (errno == EACCES || errno == EPERM) return FileStatus::kNoAccess;
    return FileStatus::kReadFailed;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return FileStatus::kReadFailed;
  if (!S_ISREG(st.st_mode)) return FileStatus::kNotRegular;
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  if (whole_only && size > max_bytes) return FileStatus::kTooLarge;
  out.resize(size < max_bytes ? size : max_bytes);
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileStatus::kReadFailed;
    if (n == 0) break;  // the file shrank meanwhile: what it holds now
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return FileStatus::kOk;
}

}  // namespace platform
