// Reading a file that a client or the user names, and nothing else: a device, a pipe or a folder in
// its place is refused, and never blocks the reader. The file is opened without waiting and checked
// on the open descriptor, so nothing can be swapped in between the check and the read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class FileStatus {
  kOk,
  kMissing,     // no such file (or a folder on its way is missing)
  kNoAccess,    // permission denied
  kNotRegular,  // a device, pipe, socket or folder
  kTooLarge,    // larger than the caller takes (when the caller refuses a cut read)
  kReadFailed,
};

// A few words for a person, e.g. "not a regular file".
const char* FileStatusText(FileStatus status);

// Reads at most `max_bytes` of the regular file `path` into `out`. With `whole_only`, a larger file
// is refused with kTooLarge instead of being cut.
FileStatus ReadRegularFile(const std::string& path, std::size_t max_bytes, bool whole_only,
                           std::vector<uint8_t>& out);

}  // namespace platform
