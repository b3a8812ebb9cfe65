// The words for a person of each status the platform returns, the same on every system.
#include "platform/status.h"

namespace platform {

const char* StatusText(Status status) {
  switch (status) {
    case Status::kOk:
      return "ok";
    case Status::kBadName:
      return "invalid shared-memory name";
    case Status::kOpenFailed:
      return "shared memory cannot be opened";
    case Status::kWrongSize:
      return "shared memory exists with another size";
    case Status::kMapFailed:
      return "shared memory cannot be mapped";
    case Status::kForeign:
      return "shared memory of that name belongs to another user";
    case Status::kBusy:
      return "shared memory of that name is kept locked by another process";
    case Status::kNameTaken:
      return "another kind of object has that name";
    case Status::kMissing:
      return "no such file";
    case Status::kNoAccess:
      return "permission denied";
    case Status::kNotRegular:
      return "not a regular file";
    case Status::kTooLarge:
      return "too large";
    case Status::kReadFailed:
      return "cannot be read";
    case Status::kNotShared:
      return "not readable by the clients' group (the relay reads only what its clients may)";
    case Status::kLink:
      return "a link, which is not followed here (name the file itself)";
    case Status::kBadContent:
      return "the file's content is not what the reader takes";
    case Status::kWriteFailed:
      return "cannot be written";
    case Status::kBadArgument:
      return "an argument the program cannot use";
    case Status::kStartFailed:
      return "cannot be started";
    case Status::kUnsupported:
      return "not possible on this system";
  }
  return "unknown";
}

}  // namespace platform
