// Reading a file that a client or the user names, and nothing else: a device, a pipe or a folder in
// its place is refused, and never blocks the reader. The file is opened without waiting and checked
// through the open file itself, so nothing can be swapped in between the check and the read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/unique_file.h"

namespace platform {

// Reads at most `max_bytes` of the regular file `path` into `out`. With `whole_only`, a larger file
// is refused with kTooLarge instead of being cut.
Status ReadRegularFile(const std::string& path, std::size_t max_bytes, bool whole_only,
                       std::vector<uint8_t>& out);

// As ReadRegularFile, for a file named by another program, which may have checked it before: the
// file itself, never a link in its place (kLink), so a link swapped in after that check cannot make
// the reader read its target. Links among the folders on the way are followed.
Status ReadRegularFileItself(const std::string& path, std::size_t max_bytes, bool whole_only,
                             std::vector<uint8_t>& out);

// As ReadRegularFileItself, for a process that reads files on behalf of other users of group `gid`
// (a relay serving a group reads the sound files its clients name): it never lends them its own
// rights. The file must be readable, and every folder on its way searchable, by that group or by
// everyone; the folders are walked one at a time without following links, so nothing can be
// swapped in between the checks and the read. kNotShared otherwise. Where sections are never shared
// with a group (SectionsShareWithGroups), no process reads for one, and this is ReadRegularFileItself.
Status ReadFileForGroup(const std::string& path, long gid, std::size_t max_bytes, bool whole_only,
                        std::vector<uint8_t>& out);

// Creates `path` for writing, or empties it when it exists: a regular file only, never reached
// through a link (a link planted in its place would make the writer empty another file), readable
// and writable by its owner alone (a recording holds everything the robot and its clients said).
// Otherwise `out` stays empty and the failure says why ("path: reason"): kLink, kNotRegular,
// kNoAccess, kMissing (a folder on the way) or kWriteFailed.
Result CreatePrivateFile(const std::string& path, UniqueFile& out);

}  // namespace platform
