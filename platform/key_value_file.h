// Settings files of "key = value" lines, as people write them: '#' at the start of a line or after a
// blank starts a comment (so "password = ab#c" keeps its '#'), blank lines and blanks around keys
// and values do not count, and a value in double quotes is taken as it stands between them ("a #b ",
// with \" and \\ for a quote and a backslash). A key given twice, or a control character such as
// a NUL, is refused: what the file says and what takes effect never differ. Read as a regular file
// of at most 64 KiB.
#pragma once

#include <functional>
#include <string>

#include "platform/status.h"

namespace platform {

// Hands every entry, in order, to `take`, which returns a failure to stop there. A failure's message
// names the file, and the line ("path:3: ...") for a line's fault: kBadContent for the line itself,
// the kind `take` gave for what it refused; the file's own status when it cannot be read.
Result ReadKeyValueFile(const std::string& path,
                        const std::function<Result(const std::string& key, const std::string& value)>& take);

// `text` without blanks, tabs and carriage returns at either end.
std::string TrimBlanks(const std::string& text);

}  // namespace platform
