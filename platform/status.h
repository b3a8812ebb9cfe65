// Every way a platform call can fail, and the one text for a person of each. Outcomes that are not
// failures (a wait that timed out, a doorbell that rang) have their own types beside their calls.
#pragma once

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
  kNotShared,  // the group a reader on others' behalf serves (or everyone) may not read it
  kLink,       // a link, where the reader takes only the file itself
};

// The words for a person, the same on every system.
const char* StatusText(Status status);

}  // namespace platform
