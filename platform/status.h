// Every way a platform call can fail, and the one text for a person of each. Outcomes that are not
// failures (a wait that timed out, a doorbell that rang) have their own types beside their calls.
#pragma once

#include <string>
#include <utility>

namespace platform {

enum class Status {
  kOk,
  // Shared memory.
  kBadName,     // not "/" + 1..254 bytes without another "/"
  kOpenFailed,  // the system refused to open, lock or size the object
  kWrongSize,   // the object exists with another size; it is never mapped short
  kMapFailed,
  kForeign,    // the object belongs to another user
  kBusy,       // another process kept the object locked beyond the wait limit
  kNameTaken,  // another kind of named object (an event, a mutex) has the name
  // Files.
  kMissing,     // no such file (or a folder on its way is missing)
  kNoAccess,    // permission denied
  kNotRegular,  // a device, pipe, socket or folder
  kTooLarge,    // larger than the caller takes (when the caller refuses a cut read)
  kReadFailed,
  kNotShared,    // the group a reader on others' behalf serves (or everyone) may not read it
  kLink,         // a link, where the reader takes only the file itself
  kBadContent,   // a file's bytes or lines are not what its reader takes (the message says where)
  kWriteFailed,  // a file or folder cannot be made or written
  // Programs.
  kBadArgument,  // a command-line value or an address the program cannot use
  kStartFailed,  // a process, thread, connection or terminal cannot be started
  kUnsupported,  // this system has no way to do what was asked
};

// The words for a person, the same on every system.
const char* StatusText(Status status);

// The outcome of a call that a person reads when it fails: its kind, for a caller that acts on it,
// and the whole message, as the program prints it (the path, the line, the system's reason).
struct [[nodiscard]] Result {
  Status status = Status::kOk;
  std::string message;
  bool ok() const { return status == Status::kOk; }
};

inline Result Ok() {
  return {};
}
inline Result Fail(Status status, std::string message) {
  return {status, std::move(message)};
}

}  // namespace platform
