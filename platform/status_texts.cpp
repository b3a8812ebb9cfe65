// The words for a person of each status the platform returns, the same on every system.
#include "platform/regular_file.h"
#include "platform/shared_memory.h"

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
    case FileStatus::kNotShared:
      return "not readable by the clients' group (the relay reads only what its clients may)";
    case FileStatus::kLink:
      return "a link, which is not followed here (name the file itself)";
  }
  return "unknown";
}

const char* ShmStatusText(ShmStatus status) {
  switch (status) {
    case ShmStatus::kOk:
      return "ok";
    case ShmStatus::kBadName:
      return "invalid shared-memory name";
    case ShmStatus::kOpenFailed:
      return "shared memory cannot be opened";
    case ShmStatus::kWrongSize:
      return "shared memory exists with another size";
    case ShmStatus::kMapFailed:
      return "shared memory cannot be mapped";
    case ShmStatus::kForeign:
      return "shared memory of that name belongs to another user";
    case ShmStatus::kBusy:
      return "shared memory of that name is kept locked by another process";
    case ShmStatus::kNameTaken:
      return "another kind of object has that name";
  }
  return "unknown";
}

}  // namespace platform
